#!/usr/bin/env python3
"""The discovery benchmark: how long finding the product takes against the ports around it, before and
after, on virtual time (in-process, the search alone against the emulated product) and over JACK (the
real `update` program, from its start to the line that names the pair, or to the "Failed" line).
Prints one table.

  bench/run_discovery.py [BUILD_DIR] [--before DIR] [--repeat N] [--no-jack] [--only KEY,...]

BUILD_DIR (default build) holds today's update, zentravox-target, bench_discovery and bench_jack_ports.
DIR holds the "before", made by bench/build_before.sh DIR (outside the repository): the old program and
the virtual-time benchmark with the old search. Without it the "before" columns stay empty. Over JACK
(a server of the benchmark's own) every run has the layout's clients started afresh, in the order that
puts the product where the layout says (checked with jack_lsp): today's program N times (default 3,
the median shown), the old one once.
"""
import argparse
import fcntl
import os
import platform
import pty
import re
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SERVER = "update-bench-discovery"
FOUND = b"The Update Device is Open successfully:"
FAILED = b"Failed: Can't find the suitable device to update!"
SEARCH_START = b"OK: File '"
ANOTHER_UPDATE = b"Error: Another update is running on this computer!"

# Each layout: its key (as bench_discovery prints it), what it is, the JACK clients started in order
# (("ports", SPEC) for bench_jack_ports, ("target", [OPTIONS]) for the product), and the product's
# pair as (input, output) from 0, or None. The server lists each kind of port in the order registered.
LAYOUTS = [
    ("1x1", "1 x 1, product at 0/0", [("target", [])], (0, 0)),
    ("2x2-through", "2 x 2, echo at 0/0, product at 1/1",
     [("ports", "e"), ("target", [])], (1, 1)),
    ("3x3", "3 x 3, product at 1/2", [("ports", "rww"), ("target", []), ("ports", "r")], (1, 2)),
    ("10x10-last", "10 x 10, product at 9/9 (the last pair)", [("ports", "r" * 9 + "w" * 9), ("target", [])], (9, 9)),
    ("3x3-late400", "3 x 3, product at 1/2, 400 ms late",
     [("ports", "rww"), ("target", ["--handshake-delay", "400"]), ("ports", "r")], (1, 2)),
    ("3x3-late1500", "3 x 3, product at 1/2, 1.5 s late",
     [("ports", "rww"), ("target", ["--handshake-delay", "1500"]), ("ports", "r")], (1, 2)),
    ("3x3-first", "3 x 3, product at 0/0", [("target", []), ("ports", "rrww")], (0, 0)),
    ("3x3-first-late400", "3 x 3, product at 0/0, 400 ms late",
     [("target", ["--handshake-delay", "400"]), ("ports", "rrww")], (0, 0)),
    ("3x3-first-late1500", "3 x 3, product at 0/0, 1.5 s late",
     [("target", ["--handshake-delay", "1500"]), ("ports", "rrww")], (0, 0)),
    ("3x3-none", "3 x 3, no product", [("ports", "rrrwww")], None),
    ("10x10-none", "10 x 10, no product", [("ports", "r" * 10 + "w" * 10)], None),
]


def figures(line):
    return dict(re.findall(r"(\w+)=(\S+)", line))


def on_virtual_time(bench):
    """{key: (seconds, pair, right, handshakes)} from one bench_discovery run; {} without the program."""
    if not bench or not os.path.exists(bench):
        return {}
    result = subprocess.run([bench], capture_output=True, text=True, check=True)
    rows = {}
    for line in result.stdout.splitlines():
        f = figures(line)
        rows[f["layout"]] = (int(f["ms"]) / 1000, f["pair"], f["ok"] == "1", int(f["handshakes"]))
    return rows


class Jack:
    """One server for the whole benchmark, the layout's clients started afresh for each run. The server
    lists ports in the order of their numbers, and gives each new port the lowest number free: once the
    clients of the run before have gone, the ports come in the order registered (checked each run)."""

    def __init__(self, build, work):
        self.build, self.work = build, work
        self.env = dict(os.environ, JACK_DEFAULT_SERVER=SERVER, JACK_NO_START_SERVER="1")
        self.script = os.path.join(ROOT, "scripts", "jack-server.sh")
        self.clients = []
        self.runs = 0
        self.failure = ""

    def start(self):
        return subprocess.run([self.script, "start", SERVER], env=self.env, capture_output=True).returncode == 0

    def stop(self):
        self.stop_clients()
        subprocess.run([self.script, "stop", SERVER], env=self.env, capture_output=True)

    def start_client(self, command, ready):
        with open(os.path.join(self.work, f"client{len(self.clients)}.log"), "w+") as log:
            client = subprocess.Popen(command, env=self.env, stdout=log, stderr=subprocess.STDOUT,
                                      stdin=subprocess.DEVNULL)
            self.clients.append(client)
            for _ in range(200):
                log.seek(0)
                if log.read().startswith(ready):
                    return True
                if client.poll() is not None:
                    break
                time.sleep(0.05)
        return False

    def lay_out(self, clients):
        """Starts the clients in order; the product's ports' names, or None."""
        # Names of this run's own: a client of the run before may linger in the server for a moment.
        self.runs += 1
        product = f"product{self.runs}"
        for number, (kind, what) in enumerate(clients):
            if kind == "ports":
                ok = self.start_client([os.path.join(self.build, "bench_jack_ports"), f"ports{self.runs}-{number}",
                                        what], "ready")
            else:
                ok = self.start_client([os.path.join(self.build, "zentravox-target"), "--api", "jack", "--client",
                                        product, "--quiet"] + what, "ready:")
            if not ok:
                self.failure = (f"{kind} {what}, exit status {self.clients[-1].poll()}: " +
                                open(os.path.join(self.work, f"client{len(self.clients) - 1}.log")).read().strip())
                return None
        return f"{product}-out:midi", f"{product}-in:midi"

    def stop_clients(self):
        for client in self.clients:
            client.terminate()
        for client in self.clients:
            try:
                client.wait(timeout=10)
            except subprocess.TimeoutExpired:
                client.kill()
                client.wait()
        self.clients = []

    def midi_ports(self):
        """The MIDI ports the program sees: (its inputs, its outputs), each in the server's order."""
        listing = subprocess.run(["jack_lsp", "-p", "-t"], env=self.env, capture_output=True, text=True).stdout
        inputs, outputs, name, flags = [], [], None, ""
        for line in listing.splitlines() + [""]:
            if line and not line[0].isspace():
                name, flags = line, ""
            elif "properties:" in line:
                flags = line
            elif "midi" in line and name:
                (inputs if "output" in flags else outputs).append(name)
                name = None
        return inputs, outputs


def wait_for_update_lock():
    """Every update of today's program takes this lock before it opens a port: wait until none holds it."""
    try:
        with open("/tmp/zentravox-update.lock", "rb") as lock:
            fcntl.flock(lock, fcntl.LOCK_SH)
    except OSError:
        pass


def run_update(program, folder, env):
    """Runs the program on a terminal of its own (its console lines come as it prints them) and returns
    (seconds from its start to the line naming the pair or "Failed", seconds from its search's start to
    that line, the names it printed, stderr), or None when it never said."""
    primary, secondary = pty.openpty()
    err_path = os.path.join(folder, "err.txt")
    with open(err_path, "wb") as err:
        started = time.monotonic()
        update = subprocess.Popen([program], cwd=folder, env=env, stdin=subprocess.DEVNULL, stdout=secondary,
                                  stderr=err)
    os.close(secondary)
    # The run goes on to the transfer (of a few bytes), or to a wrong pair's 40 s of silence, and ends as
    # a user's would: a program ended by a signal, which the old one does not catch, leaves its clients
    # in the server, and a server in synchronous mode then waits for them every cycle.
    text, search_at, said_at = b"", None, None
    deadline = started + 600
    while time.monotonic() < deadline:
        ready, _, _ = select.select([primary], [], [], 0.5)
        if not ready:
            if update.poll() is not None:
                break
            continue
        try:
            chunk = os.read(primary, 4096)
        except OSError:   # the program has gone, and with it the terminal's other end
            chunk = b""
        if not chunk:
            break
        now = time.monotonic()
        text += chunk
        if search_at is None and SEARCH_START in text:
            search_at = now
        if said_at is None and (FOUND in text or FAILED in text):
            said_at = now
    if update.poll() is None:
        update.send_signal(signal.SIGINT)
        try:
            update.wait(timeout=10)
        except subprocess.TimeoutExpired:
            update.kill()
    update.wait()
    os.close(primary)
    stderr = open(err_path, "rb").read()
    if ANOTHER_UPDATE in text:
        return "busy"
    if said_at is None:
        return None
    names = (re.search(rb"MIDIIN Device: (.*?)\r?\n", text), re.search(rb"MIDIOUT Device: (.*?)\r?\n", text))
    pair = tuple(m.group(1).decode() for m in names) if all(names) else None
    return said_at - started, said_at - (search_at or started), pair, stderr


def over_jack(build, programs, repeats):
    """{(key, which): [(seconds, search seconds, pair index text, right, stderr), ...]} for each program."""
    work = tempfile.mkdtemp()
    subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "make-image.py"),
                    os.path.join(work, "ZENTRAVOX_bench.led"), "--lengths", "22,6", "--seed", "19"], check=True)
    jack = Jack(build, work)
    rows, problems = {}, []
    if not jack.start():
        return None, ["no JACK server could be started"]
    try:
        for key, _, clients, product in LAYOUTS:
            for which, program in programs:
                if not program:
                    continue
                for _ in range(repeats if which == "after" else 1):
                    jack.stop_clients()
                    names = jack.lay_out(clients)
                    if not names:
                        problems.append(f"{key}: the layout's clients did not start: {jack.failure}")
                        continue
                    inputs, outputs = jack.midi_ports()
                    if len(inputs) != len(outputs) or (product and product != (
                            inputs.index(names[0]) if names[0] in inputs else -1,
                            outputs.index(names[1]) if names[1] in outputs else -1)):
                        problems.append(f"{key}: the server lists other ports: {inputs} {outputs}")
                        continue
                    for _ in range(5):
                        if which == "after":
                            wait_for_update_lock()
                        result = run_update(program, work, jack.env)
                        if result != "busy":
                            break
                    if result in (None, "busy"):
                        problems.append(f"{key} ({which}): the program named no pair and did not fail")
                        continue
                    seconds, search_seconds, printed, stderr = result
                    if printed:
                        found = (inputs.index(printed[0]) if printed[0] in inputs else -1,
                                 outputs.index(printed[1]) if printed[1] in outputs else -1)
                        pair, right = f"{found[0]}/{found[1]}", found == product
                    else:
                        pair, right = "-", product is None
                    rows.setdefault((key, which), []).append((seconds, search_seconds, pair, right, stderr))
                    jack.stop_clients()
    finally:
        jack.stop()
        shutil.rmtree(work, ignore_errors=True)
    return rows, problems


def seconds_text(seconds, pair, right, spread=None):
    text = f"{seconds:.2f}"
    if spread:
        text += f" ({spread[0]:.2f}-{spread[1]:.2f})"
    if not right:
        text += f" WRONG {pair}"
    return text


def main():
    parser = argparse.ArgumentParser(description="The discovery benchmark: one table, before and after.")
    parser.add_argument("build", nargs="?", default=os.path.join(ROOT, "build"))
    parser.add_argument("--before", help="the folder bench/build_before.sh made")
    parser.add_argument("--repeat", type=int, default=3, help="runs of today's program per layout over JACK")
    parser.add_argument("--no-jack", action="store_true", help="virtual time only")
    parser.add_argument("--only", help="these layouts alone, by key, separated by commas (e.g. 3x3,10x10-last)")
    args = parser.parse_args()
    if args.only:
        wanted = args.only.split(",")
        unknown = set(wanted) - {layout[0] for layout in LAYOUTS}
        if unknown:
            parser.error(f"no layout {', '.join(sorted(unknown))}; the keys: {', '.join(l[0] for l in LAYOUTS)}")
        LAYOUTS[:] = [layout for layout in LAYOUTS if layout[0] in wanted]
    build = os.path.abspath(args.build)
    before = os.path.abspath(args.before) if args.before else None

    virtual_after = on_virtual_time(os.path.join(build, "bench_discovery"))
    virtual_before = on_virtual_time(os.path.join(before, "search", "build", "bench_discovery") if before else None)
    jack_rows, problems = {}, []
    if not args.no_jack:
        old_program = os.path.join(before, "program", "build", "update") if before else None
        jack_rows, problems = over_jack(build, [("after", os.path.join(build, "update")),
                                                ("before", old_program if old_program and os.path.exists(old_program)
                                                 else None)], args.repeat)

    load = os.getloadavg()
    print(f"Machine: {platform.machine()}, {os.cpu_count()} cores, {platform.platform()}, "
          f"load average {load[0]:.2f} {load[1]:.2f} {load[2]:.2f} at the end")
    print(f"{'layout':<42} {'virtual before s':>18} {'virtual after s':>16} {'handshakes':>10} "
          f"{'JACK before s':>14} {'JACK after s (min-max)':>24}")
    for key, what, _, _ in LAYOUTS:
        cells = []
        for rows in (virtual_before, virtual_after):
            cells.append(seconds_text(*rows[key][:3]) if key in rows else "-")
        handshakes = "/".join(str(rows[key][3]) if key in rows else "-" for rows in (virtual_before, virtual_after))
        old = (jack_rows or {}).get((key, "before"))
        cells.append(seconds_text(old[0][0], old[0][2], old[0][3]) if old else "-")
        new = (jack_rows or {}).get((key, "after"))
        if new:
            times = [run[0] for run in new]
            wrong = [run for run in new if not run[3]]
            shown = wrong[0] if wrong else new[0]
            cells.append(seconds_text(statistics.median(times), shown[2], not wrong,
                                      (min(times), max(times)) if len(times) > 1 else None))
        else:
            cells.append("-")
        print(f"{what:<42} {cells[0]:>18} {cells[1]:>16} {handshakes:>10} {cells[2]:>14} {cells[3]:>24}")
    print("Seconds to the line naming the pair, or to the \"Failed\" line; virtual: from the search's start, "
          "JACK: from the program's start.")
    print("Product at I/O: on the program's input I and output O, from 0; echo: an output whose messages come back")
    print("on an input (Midi Through); late: the product answers each handshake that late. Handshakes: sent on")
    print("virtual time, before/after. WRONG: the pair kept (input/output) is not the product's.")
    if jack_rows:
        for key in ("3x3-none", "10x10-none"):
            runs = jack_rows.get((key, "after"))
            if runs:
                print(f"{key} over JACK, today's program: \"Failed\" {max(r[1] for r in runs):.2f} s at most after "
                      f"the search's start (the file's line)")
        noisy = sorted({key for (key, _), runs in jack_rows.items() for run in runs if run[4]})
        if noisy:
            print(f"(something on stderr in: {', '.join(noisy)})")
    elif not args.no_jack:
        print("(no JACK server could be started: the JACK columns are empty)")
    if not before:
        print("(no --before folder: bench/build_before.sh DIR builds the old program and search)")
    for problem in problems:
        print(f"problem: {problem}")


if __name__ == "__main__":
    main()
