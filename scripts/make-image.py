#!/usr/bin/env python3
"""Writes a valid update image: records of the image format, as hexadecimal text.

Each record is a big-endian length field L, L-2 payload bytes and a little-endian checksum word that
makes the 16-bit sum of the payload and the word zero. The payload comes from a file of any bytes
(--data) or from a seeded generator, so the same command always writes the same image.

Examples:
  make-image.py ZENTRAVOX_demo.led --size 4096
  make-image.py ZENTRAVOX_big.led --size 65535 --payload 256
  make-image.py ZENTRAVOX_mixed.led --lengths 6,11,12,22,23,300
  make-image.py ZENTRAVOX_demo.led --lengths 6,22,64,132,260,23,12,200,11,96 --size 4096
  make-image.py ZENTRAVOX_fw.led --data firmware.bin
"""
import argparse
import random
import sys

MAX_IMAGE_BYTES = 65535
MIN_RECORD = 4          # a length field of 2: no payload, only the checksum word
MAX_RECORD = 65535 + 2  # the length field is 16-bit


def record_of(payload):
    length = len(payload) + 2
    word = (0x10000 - sum(payload) % 0x10000) % 0x10000
    return bytes([length >> 8, length & 0xFF]) + bytes(payload) + bytes([word & 0xFF, word >> 8])


def lengths_for(size, payload):
    """Record lengths that add up to exactly `size` bytes, `payload` + 4 bytes each but the last."""
    full = payload + 4
    lengths = [full] * (size // full)
    rest = size % full
    if rest:
        if rest < MIN_RECORD:
            if not lengths:
                raise SystemExit(f"error: no image of {size} bytes can be made of records (4 bytes at least)")
            # Borrow from the last full record so that the short one holds at least its length and word.
            lengths[-1] -= MIN_RECORD - rest
            rest = MIN_RECORD
        lengths.append(rest)
    return lengths


def parse_lengths(text):
    lengths = [int(item) for item in text.split(",") if item.strip()]
    for length in lengths:
        if not MIN_RECORD <= length <= MAX_RECORD:
            raise SystemExit(f"error: a record occupies {MIN_RECORD} to {MAX_RECORD} bytes, not {length}")
    return lengths


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("output", help="image file to write ('-' for standard output)")
    parser.add_argument("--size", type=int, help="total image bytes (default: 4096, or what --data needs)")
    parser.add_argument("--payload", type=int, default=256, help="payload bytes per record (default 256)")
    parser.add_argument("--lengths", type=parse_lengths, help="comma-separated record lengths (L+2 each); with --size, repeated while they fit")
    parser.add_argument("--data", help="take the payload bytes from this file, in order")
    parser.add_argument("--seed", type=int, default=1, help="seed of the generated payload (default 1)")
    parser.add_argument("--per-line", type=int, default=16, help="bytes per line of text (default 16)")
    parser.add_argument("--crlf", action="store_true", help="end lines with CR LF, as Windows editors do")
    args = parser.parse_args()

    if not 1 <= args.payload <= MAX_RECORD - 4:
        parser.error("--payload must be between 1 and 65533")
    data = None
    if args.data:
        try:
            with open(args.data, "rb") as source:
                data = source.read()
        except OSError as error:
            raise SystemExit(f"error: cannot read the data file {args.data}: {error.strerror}")

    if args.lengths and args.size is not None:
        # The lengths in turn, over and over, for as long as the next record still fits the size.
        lengths, total = [], 0
        while total + args.lengths[len(lengths) % len(args.lengths)] <= args.size:
            lengths.append(args.lengths[len(lengths) % len(args.lengths)])
            total += lengths[-1]
    elif args.lengths:
        lengths = args.lengths
    else:
        size = args.size
        if size is None:
            size = 4096 if data is None else -(-len(data) // args.payload) * (args.payload + 4)
        if not 0 <= size <= MAX_IMAGE_BYTES:
            parser.error(f"--size must be between 0 and {MAX_IMAGE_BYTES}")
        lengths = lengths_for(size, args.payload)

    generator = random.Random(args.seed)
    offset = 0
    image = bytearray()
    for length in lengths:
        count = length - 4
        if data is not None:
            payload = data[offset:offset + count]
            payload += bytes(count - len(payload))   # past the end of the data: zeros
            offset += count
        else:
            payload = bytes(generator.randrange(256) for _ in range(count))
        image += record_of(payload)
    if len(image) > MAX_IMAGE_BYTES:
        print(f"warning: {len(image)} bytes is more than the {MAX_IMAGE_BYTES} the program accepts", file=sys.stderr)

    end = "\r\n" if args.crlf else "\n"
    lines = [" ".join(f"{b:02X}" for b in image[i:i + args.per_line]) for i in range(0, len(image), args.per_line)]
    text = end.join(lines) + (end if lines else "")
    if args.output == "-":
        sys.stdout.write(text)
        return
    try:
        with open(args.output, "w", newline="") as out:
            out.write(text)
    except OSError as error:
        raise SystemExit(f"error: cannot write {args.output}: {error.strerror}")


if __name__ == "__main__":
    main()
