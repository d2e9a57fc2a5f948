#!/usr/bin/env python3
"""Measures how long `vandrelis-eventkit watch` takes to report changes that used to go
unreported: a linked source whose target is removed and created again, a queue overflow with
17,000 calendars, calendars beyond the inotify watch limit, files that are neither items nor
metadata, and a reader that goes away.

    bench/watch_latency.py BINARY [CASE...]     # cases: link overflow limit other reader

Prints one line per measurement: the case, what was done, and the notice latency in
milliseconds (or "none" when no notice came within the limit).
"""
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

LIMIT = 5.0


class Watch:
    def __init__(self, binary, data_home, wrapper=None):
        env = dict(os.environ, XDG_DATA_HOME=data_home)
        argv = (wrapper or []) + [binary, "watch"]
        self.process = subprocess.Popen(argv, env=env, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
        os.set_blocking(self.process.stdout.fileno(), False)
        self.pending = b""

    def lines(self, within):
        """The lines that come within `within` seconds, each with its arrival time."""
        out = []
        end = time.monotonic() + within
        while True:
            left = end - time.monotonic()
            if left <= 0:
                return out
            ready, _, _ = select.select([self.process.stdout], [], [], left)
            if not ready:
                return out
            data = self.process.stdout.read() or b""
            if not data:
                return out
            self.pending += data
            while b"\n" in self.pending:
                _, self.pending = self.pending.split(b"\n", 1)
                out.append(time.monotonic())

    def latency(self, action, within=LIMIT):
        """Does action, then returns ms until the first line, and the count of lines."""
        self.lines(0.3)  # drop anything still pending
        start = time.monotonic()
        action()
        got = self.lines(within)
        return (None if not got else (got[0] - start) * 1000), len(got)

    def state(self):
        with open(f"/proc/{self.process.pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0]

    def cpu_seconds(self):
        with open(f"/proc/{self.process.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def stop(self):
        self.process.kill()
        self.process.wait()
        return self.process.stderr.read().decode()


def report(case, what, result):
    latency, count = result
    shown = "none" if latency is None else f"{latency:.0f} ms"
    print(f"{case:9} {what:48} {shown:>9}  ({count} line(s))", flush=True)


def write(path, text="BEGIN:VCALENDAR\nEND:VCALENDAR\n"):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


def case_link(binary, tmp):
    root = f"{tmp}/data/vandrelis/calendars"
    target = f"{tmp}/synced/work"
    os.makedirs(root)
    os.makedirs(f"{target}/cal")
    os.symlink(target, f"{root}/work")
    watch = Watch(binary, f"{tmp}/data")
    time.sleep(0.5)
    report("link", "target removed", watch.latency(lambda: shutil.rmtree(target)))
    report("link", "target created again", watch.latency(lambda: os.makedirs(f"{target}/cal")))
    report("link", "item written in the new target",
           watch.latency(lambda: write(f"{target}/cal/a.ics")))
    print(f"link      stderr: {watch.stop()!r}")


def case_overflow(binary, tmp):
    root = f"{tmp}/data/vandrelis/calendars"
    for source in range(170):
        for calendar in range(100):
            os.makedirs(f"{root}/s{source}/c{calendar}")
    watch = Watch(binary, f"{tmp}/data")
    time.sleep(3)

    # 18,000 events while the watcher is stopped: more than the queue holds.
    watch.process.send_signal(signal.SIGSTOP)
    while watch.state() != "T":
        time.sleep(0.001)
    for i in range(6000):
        write(f"{root}/s0/c0/e{i}.ics")
    report("overflow", "queue overflowed (from SIGCONT)",
           watch.latency(lambda: watch.process.send_signal(signal.SIGCONT)))
    before = watch.cpu_seconds()
    report("overflow", "mkdir of a calendar after it",
           watch.latency(lambda: os.makedirs(f"{root}/s1/new")))
    report("overflow", "item written after it", watch.latency(lambda: write(f"{root}/s1/new/a.ics")))
    time.sleep(5)
    print(f"overflow  CPU seconds from the notice to 5 s after the last change: "
          f"{watch.cpu_seconds() - before:.2f}")
    print(f"overflow  stderr: {watch.stop()!r}")


def case_limit(binary, tmp):
    root = f"{tmp}/data/vandrelis/calendars"
    for calendar in "abcdef":
        os.makedirs(f"{root}/me/{calendar}")
    script = 'echo 4 >/proc/sys/user/max_inotify_watches && exec "$@"'
    watch = Watch(binary, f"{tmp}/data",
                  ["unshare", "--user", "--map-root-user", "sh", "-c", script, "sh"])
    time.sleep(1)
    report("limit", "item written in the last calendar",
           watch.latency(lambda: write(f"{root}/me/f/a.ics")))
    report("limit", "new calendar beyond the limit", watch.latency(lambda: os.makedirs(f"{root}/me/g")))
    report("limit", "item written in it", watch.latency(lambda: write(f"{root}/me/g/a.ics")))
    print(f"limit     stderr: {watch.stop()!r}")


def case_other(binary, tmp):
    root = f"{tmp}/data/vandrelis/calendars"
    os.makedirs(f"{root}/me/cal")
    watch = Watch(binary, f"{tmp}/data")
    time.sleep(0.5)
    report("other", "README in the root, notes.txt in a source",
           watch.latency(lambda: (write(f"{root}/README", "x"), write(f"{root}/me/notes.txt", "x")),
                         within=1))
    report("other", "both removed",
           watch.latency(lambda: (os.remove(f"{root}/README"), os.remove(f"{root}/me/notes.txt")),
                         within=1))
    report("other", "an item written", watch.latency(lambda: write(f"{root}/me/cal/a.ics")))
    watch.stop()


def case_reader(binary, tmp):
    os.makedirs(f"{tmp}/data/vandrelis/calendars")
    watch = Watch(binary, f"{tmp}/data")
    time.sleep(0.5)
    start = time.monotonic()
    watch.process.stdout.close()
    while watch.process.poll() is None and time.monotonic() - start < LIMIT:
        time.sleep(0.001)
    status = watch.process.poll()
    if status is None:
        print(f"reader    reader closed: still running after {LIMIT:.0f} s")
        watch.process.kill()
        watch.process.wait()
    else:
        print(f"reader    reader closed: ended after {(time.monotonic() - start) * 1000:.0f} ms, "
              f"status {status}")


CASES = {"link": case_link, "overflow": case_overflow, "limit": case_limit,
         "other": case_other, "reader": case_reader}

if __name__ == "__main__":
    binary = os.path.abspath(sys.argv[1])
    for name in sys.argv[2:] or CASES:
        with tempfile.TemporaryDirectory() as tmp:
            CASES[name](binary, tmp)
