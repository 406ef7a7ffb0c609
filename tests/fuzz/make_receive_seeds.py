#!/usr/bin/env python3
"""Writes the seed worlds of fuzz_receive, in the byte layout that decodeCase in fuzz_receive.cpp reads.

Run again after that layout changes:  python3 tests/fuzz/make_receive_seeds.py tests/fuzz/corpus/receive
Inputs kept for faults they found (named *-fault-*) are not written here; they stay as they are.
"""
import os
import sys

out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus", "receive")

CHECK, OK, RESTART, CRC, DAM_A, DAM_B, VERIFY, ERASE, SILENT, ALT, RAW = 0, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
# A target answer: kind as decodeAnswer's low nibble, delay in ms.
def answer(kind=CHECK, delay=0, raw=None):
    b = []
    if delay == 0: pace = 0
    elif delay < 256: pace = 8
    else: pace = 12
    b.append((pace << 4) | kind)
    if kind == RAW: b.append(raw)
    if pace == 8: b.append(delay)
    elif pace == 12: b += [delay >> 8, delay & 0xFF]
    return b

# Stray bodies: shaped like an answer (0:1A 1:77 2:43 3:15 4:20 5:raw code), or any bytes.
def reply_stray(code_index, raw=None):
    return [code_index] + ([raw] if code_index == 5 else [])

def bytes_stray(data):
    n = len(data)
    return [0xA0, n >> 8, n & 0xFF] + list(data)

# trigger 0: after the program's message number `count`, 1: at `count` ms, 2: on opening output `count`.
def stray(trigger, count, delay=0, sysex=True, body=None):
    flags = (0x08 if delay else 0) | (0 if sysex else 0x10)
    kind = next(k for k in range(256) if k % 3 == trigger and k & 0x18 == flags)
    b = [kind]
    if trigger == 0: b += [(count - 1) >> 8, (count - 1) & 0xFF]
    elif trigger == 1: b += [count >> 8, count & 0xFF]
    else: b += [count]
    if delay: b += [delay >> 8, delay & 0xFF]
    return b + body

# How the target's answers travel: bunches (0: none, 2: every 2 ms, 3: every 20 ms), real-time bytes
# inside, another device's message behind each, an echo (None, or its delay in ms; 0: in one delivery).
def transport(bunches=0, realtime=False, foreign=False, echo=None):
    b = bunches | (0x04 if realtime else 0) | (0x08 if foreign else 0)
    if echo == 0: return [b | 0x20]
    if echo is not None: return [b | 0x30, echo]
    return [b]

def case(name, ins=1, outs=1, tin=0, tout=0, troubles=0, vanishing=0, sending=0, records=(), hs=(), later=None,
         other=None, overrides=(), strays=(), travel=None):
    b = [(ins - 1) + 3 * (outs - 1)]
    b.append(7 if tin < 0 else tin | (tout << 3))
    b += [troubles, vanishing, sending]
    b.append(len(records))
    for length, seed in records:
        b.append(length - 4)
        b += [(seed + 37 * i) & 0xFF for i in range(length - 4)]
    b.append(len(hs))
    for h in hs: b += h
    b += later or answer()
    b += other or answer()
    b.append(len(overrides))
    for rec, snd, a in overrides: b += [rec, snd - 1] + a
    b.append(len(strays))
    for s in strays: b += s
    if travel: b += travel
    with open(os.path.join(out, name), 'wb') as f: f.write(bytes(b))

three = [(6, 1), (11, 50), (30, 99)]
case('success-three-records', records=three)
case('empty-image', records=[])
case('restart-on-second-record', records=three, overrides=[(1, 1, answer(RESTART))])
case('crc-refusals-then-accepted', records=[(12, 3), (23, 4)], overrides=[(0, s, answer(CRC)) for s in range(1, 9)])
case('twenty-refusals-give-up', records=[(6, 1)], other=answer(VERIFY))
case('every-refusal-code', records=[(6, 1), (14, 2)], overrides=[(1, 1, answer(CRC)), (1, 2, answer(DAM_A)),
     (1, 3, answer(DAM_B)), (1, 4, answer(VERIFY)), (1, 5, answer(ERASE)), (1, 6, answer(RAW, raw=0x23))])
case('silent-target', records=[(6, 1)], other=answer(SILENT))
case('late-answers-beyond-the-wait', records=three, other=answer(CHECK, 700))
case('answer-just-inside-the-wait', records=three, other=answer(CHECK, 590))
case('reset-requested', records=three, hs=[answer(ALT)])
case('handshake-too-late', records=three, hs=[answer(CHECK, 600), answer(CHECK, 600)])
case('handshake-other-codes', records=three, hs=[answer(RAW, raw=0x1A), answer(RESTART), answer(SILENT), answer()])
case('target-last-of-3x3', ins=3, outs=3, tin=2, tout=2, records=three)
case('target-missing-3x3', ins=3, outs=3, tin=-1, records=three)
case('ports-failing', ins=3, outs=3, tin=1, tout=2, troubles=0x80 | 0 | (3 << 2) | (1 << 4), records=three)
case('stray-record-ok-fakes-acceptance', records=three, overrides=[(0, 1, answer(SILENT))],
     strays=[stray(0, 2, delay=3, body=reply_stray(0))])
case('stray-restart-at-time', records=three, other=answer(CHECK, 300), strays=[stray(1, 5, body=reply_stray(1))])
case('stray-ready-on-wrong-output', ins=2, outs=2, tin=0, tout=1, records=three,
     strays=[stray(2, 0, delay=2, body=reply_stray(2))])
case('stray-long-sysex', records=three, strays=[stray(0, 3, body=bytes_stray([0xF0, 0x1A] + [0x55] * 297 + [0xF7]))])
case('stray-short-messages', records=three, overrides=[(1, 1, answer(SILENT))],
     strays=[stray(0, 3, sysex=False, body=reply_stray(0)), stray(0, 4, sysex=False, body=bytes_stray([0x90, 0x3C, 0x7F]))])
case('stray-one-byte-sysex', records=three, strays=[stray(0, 2, body=bytes_stray([0xF0])), stray(0, 3, body=bytes_stray([0x1A]))])
case('output-vanishes-mid-record', records=[(30, 5), (6, 1)], vanishing=0xC0 | 2)
case('input-vanishes', records=three, vanishing=0x80 | 3)
case('sends-never-finish', records=[(6, 1), (11, 2)], sending=0xEE)
case('busy-sends', records=three, sending=0x3F)
case('nineteen-silences-then-ok', records=[(6, 1), (9, 2)], overrides=[(0, s, answer(SILENT)) for s in range(1, 9)],
     other=answer(CHECK, 100))
case('answers-in-bunches-with-refusals', records=three, other=answer(CHECK, 300), overrides=[(1, 1, answer(CRC))],
     travel=transport(bunches=3))
case('real-time-bytes-inside-answers', records=three, overrides=[(2, 1, answer(ERASE))], travel=transport(realtime=True))
case('another-device-behind-every-answer', records=three, travel=transport(bunches=2, foreign=True))
case('every-answer-twice-together', records=three, travel=transport(echo=0))
case('every-answer-twice-later', records=three, other=answer(CHECK, 40), travel=transport(echo=9))
case('late-acceptance-in-one-bunch-with-the-next', records=three, overrides=[(1, 1, answer(CHECK, 2050))],
     travel=transport(bunches=3))
case('echo-taken-for-the-last-record', records=[(6, 1), (11, 50)], other=answer(CHECK, 40),
     overrides=[(1, 1, answer(CRC, 40))], travel=transport(echo=9))
