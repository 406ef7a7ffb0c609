#!/usr/bin/env python3
"""The transfer benchmark: a 65,535-byte image (records of 256 payload bytes) sent (a) in-process to
the emulated target in real time, (b) by the real `update` program over JACK to `zentravox-target` and
(c) by the real program through a USB MIDI device in a QEMU guest (scripts/vm/guest.sh), the target on
the gadget's raw MIDI device. Prints one table. The floor is what the protocol itself costs: one 1 ms pause per data message plus
the transport's own round trip per record (measured separately, with the mailbox polled busily).

  bench/run_bench.py [BUILD_DIR]     (default: build; run scripts/test.sh or scripts/demo.sh first)
"""
import fcntl
import os
import platform
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SERVER = "update-bench"


def figures(text):
    return {key: value for key, value in re.findall(r"(\w+)=([\w.]+)", text)}


def in_process(build):
    result = subprocess.run([os.path.join(build, "bench_transfer")], capture_output=True, text=True, check=True)
    f = figures(result.stdout)
    return {
        "mode": "in-process, threaded emulated target",
        "messages": int(f["messages"]), "records": int(f["records"]), "wall": float(f["wall_s"]),
        "floor": float(f["floor_s"]), "reply_wait": float(f["reply_wait_ms"]),
        "round_trip": float(f["round_trip_ms"]), "pause": float(f["pause_ms"]),
        "rss_mib": int(f["peak_rss_kib"]) / 1024, "ok": f["ok"] == "1",
    }


def watch_memory(pid, peaks, stop):
    """Samples the process's resident memory by kind: its own (anonymous and file-backed) and shared."""
    while not stop.is_set():
        try:
            status = open(f"/proc/{pid}/status").read()
        except OSError:
            return
        kib = {k: int(v) for k, v in re.findall(r"(Rss\w+):\s+(\d+) kB", status)}
        peaks["own"] = max(peaks.get("own", 0), kib.get("RssAnon", 0) + kib.get("RssFile", 0))
        peaks["shared"] = max(peaks.get("shared", 0), kib.get("RssShmem", 0))
        stop.wait(0.05)


def wait_for_update_lock():
    """Every update on this machine takes this lock before it opens a port, and turns away while another
    holds it (a test run's, say): wait until none does."""
    try:
        with open("/tmp/zentravox-update.lock", "rb") as lock:
            fcntl.flock(lock, fcntl.LOCK_SH)
    except OSError:
        pass


def over_jack(build, pause_ms):
    env = dict(os.environ, JACK_DEFAULT_SERVER=SERVER, JACK_NO_START_SERVER="1")
    jack = os.path.join(ROOT, "scripts", "jack-server.sh")
    if subprocess.run([jack, "start", SERVER], env=env, capture_output=True).returncode != 0:
        return None
    work = tempfile.mkdtemp()
    target = None
    try:
        image = os.path.join(work, "ZENTRAVOX_bench.led")
        subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "make-image.py"), image,
                        "--size", "65535", "--payload", "256"], check=True)
        flash = os.path.join(work, "flash.bin")
        log = open(os.path.join(work, "target.log"), "w+")
        target = subprocess.Popen([os.path.join(build, "zentravox-target"), "--quiet", "--flash", flash],
                                  env=env, stdout=log, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        for _ in range(200):
            log.seek(0)
            if log.read().startswith("ready:"):
                break
            time.sleep(0.05)
        trip = subprocess.run([os.path.join(build, "bench_roundtrip")], env=env, capture_output=True, text=True)
        round_trip = float(figures(trip.stdout)["round_trip_ms"])
        idle_send = float(figures(trip.stdout)["idle_send_ms"])

        wait_for_update_lock()
        start = time.monotonic()
        update = subprocess.Popen([os.path.join(build, "update")], cwd=work, env=env, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        peaks, stop = {}, threading.Event()
        watcher = threading.Thread(target=watch_memory, args=(update.pid, peaks, stop))
        watcher.start()
        output = update.stdout.read()
        _, _, usage = os.wait4(update.pid, 0)
        stop.set()
        watcher.join()
        wall = time.monotonic() - start
        target.terminate()
        target.wait(timeout=10)
        expected = bytes.fromhex(open(image).read())
        ok = b"Target update successfully!" in output and open(flash, "rb").read() == expected
        messages, records = 6050, 253   # 252 records of 260 bytes (24 messages) and one of 15 (2)
        floor = (messages * 1.0 + records * round_trip) / 1000
        return {
            "mode": "update over JACK, zentravox-target",
            "messages": messages, "records": records, "wall": wall, "floor": floor,
            # From the outside only the whole is seen: what is left after the pauses, per record.
            "reply_wait": (wall * 1000 - messages * pause_ms) / records,
            "round_trip": round_trip, "pause": pause_ms, "rss_mib": usage.ru_maxrss / 1024, "ok": ok,
            "estimated": True, "own_mib": peaks.get("own", 0) / 1024, "shared_mib": peaks.get("shared", 0) / 1024,
            "idle_send": idle_send,
        }
    finally:
        if target and target.poll() is None:
            target.kill()
        subprocess.run([jack, "stop", SERVER], env=env, capture_output=True)
        shutil.rmtree(work, ignore_errors=True)


def in_guest(build, pause_ms):
    """The USB MIDI row; None where no guest can run. The guest's processor is emulated (TCG): its
    figures tell how the path behaves, not how fast a real machine is."""
    guest = os.path.join(ROOT, "scripts", "vm", "guest.sh")
    if subprocess.run(["bash", guest, "check"], capture_output=True).returncode != 0:
        return None
    programs = [os.path.join(build, "update"), os.path.join(build, "zentravox-target"),
                os.path.join(ROOT, "scripts", "make-image.py")]
    result = subprocess.run(["bash", guest, "run", "--usb-gadget", "--virmidi", "0", "--timeout", "600", "--",
                             "bash", os.path.join(ROOT, "bench", "guest_usb.sh")] + programs,
                            capture_output=True, text=True)
    f = figures(result.stdout)
    if result.returncode != 0 or "wall_s" not in f:
        return None
    messages, records, wall = 6050, 253, float(f["wall_s"])
    return {
        "mode": "update over USB MIDI, QEMU guest (TCG)",
        "messages": messages, "records": records, "wall": wall, "floor": messages * 1.0 / 1000,
        "reply_wait": (wall * 1000 - messages * pause_ms) / records, "round_trip": float("nan"),
        "pause": pause_ms, "rss_mib": float("nan"), "ok": f["ok"] == "1", "estimated": True,
    }


def figure(value, decimals):
    """A figure, or "-" where it was not measured."""
    return "-" if value != value else f"{value:.{decimals}f}"


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build"))
    rows = [in_process(build)]
    jack = over_jack(build, rows[0]["pause"])
    if jack:
        rows.append(jack)
    guest = in_guest(build, rows[0]["pause"])
    if guest:
        rows.append(guest)
    print(f"Machine: {platform.machine()}, {os.cpu_count()} cores, {platform.platform()}")
    print(f"{'mode':<38} {'ok':>3} {'messages':>8} {'records':>7} {'wall s':>7} {'floor s':>7} {'ratio':>6} "
          f"{'reply wait ms/rec':>17} {'round trip ms':>13} {'peak RSS MiB':>12}")
    for r in rows:
        wait = f"{r['reply_wait']:.2f}" + (" est." if r.get("estimated") else "")
        print(f"{r['mode']:<38} {'yes' if r['ok'] else 'NO':>3} {r['messages']:>8} {r['records']:>7} "
              f"{r['wall']:>7.2f} {r['floor']:>7.2f} {r['wall'] / r['floor']:>6.3f} {wait:>17} "
              f"{figure(r['round_trip'], 3):>13} {figure(r['rss_mib'], 1):>12}")
    if jack:
        print(f"update over JACK, peak resident memory by kind: its own {jack['own_mib']:.1f} MiB (heap, stacks, "
              f"code), JACK's shared memory mapped into every client {jack['shared_mib']:.1f} MiB")
        print(f"JACK output idle for 300 ms, its next send returns in {jack['idle_send']:.3f} ms (median of 20; "
              f"a send that waited for its cycle would take up to a period, 5.3 ms)")
    else:
        print("(no JACK server could be started: the row over real ports is missing)")
    if guest:
        print("USB MIDI row: an emulated processor (QEMU TCG) runs the guest's kernel, USB stack and both programs;")
        print("  its times are not a real machine's. The wall time includes discovery passing Midi Through first;")
        print("  the floor there is the pauses alone, no round trip was measured in the guest.")
    else:
        print("(no QEMU guest could run: the USB MIDI row is missing)")


if __name__ == "__main__":
    main()
