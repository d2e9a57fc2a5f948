#!/usr/bin/env python3
"""Runs every example of the interface document against the built programs.

A ```console block holds commands ("$ " and the command line, optionally starting with VAR=value
assignments), each followed by what it writes: a plain line is a line of standard output, a
"(stderr) " line one of standard error, and the last line says how it ended: "(exit status N)"
or "(killed by SIGNAME)". A line in parentheses between them is something done to the program
while it runs ("(SIGTERM)", ...): everything above it is awaited first. A ```json block right
after a console block is the block's last document, indented, and must be the same value.

An HTML comment just before a block sets its world: "setup: samples" (the sample calendar tree
as the store; the default), "no-calendar-root", "sound-server" (a private PulseAudio with a
recorder inside an application bundle and a plain one) or "no-sound-server"; "varies: KEY ..."
names integer members whose values differ from run to run, so only their kind is compared.

Standard output and standard error are compared line by line, each in its own order.
"""

import argparse
import json
import os
import re
import selectors
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77
PATIENCE = 10.0  # seconds to wait for an awaited line, or for a program to end

BLOCK = re.compile(
    r"(?:<!--(?P<directives>[^>]*)-->\s*\n)?```console\n(?P<body>.*?)^```\n"
    r"(?:\s*```json\n(?P<json>.*?)^```\n)?", re.S | re.M)
ENDING = re.compile(r"\((?:exit status \d+|killed by SIG[A-Z]+)\)")


class Failure(Exception):
    pass


class Skip(Exception):
    pass


class Example:
    def __init__(self, line, command):
        self.line, self.command = line, command
        self.steps = []  # ("out", text), ("err", text) or ("do", action)
        self.ending = None

    def expected(self, kind):
        return [text for step, text in self.steps if step == kind]


def parse_examples(text):
    """Yields (directives, examples, indented JSON or None) for each console block."""
    if text.count("```json") != len(re.findall(r"^```\n\s*```json\n", text, re.M)):
        raise Failure("a ```json block that does not follow a console block is not checked")
    for block in BLOCK.finditer(text):
        directives = {}
        for part in (block["directives"] or "").split(";"):
            if ":" in part:
                key, value = part.split(":", 1)
                directives[key.strip()] = value.split()
        if not directives.keys() <= {"setup", "varies"}:
            raise Failure(f"unknown setting in <!--{block['directives']}-->")
        line = text.count("\n", 0, block.start("body")) + 1
        examples = []
        for offset, row in enumerate(block["body"].splitlines()):
            if row.startswith("$ "):
                examples.append(Example(line + offset, row[2:]))
            elif not examples or examples[-1].ending:
                raise Failure(f"line {line + offset}: output without a command before it")
            elif ENDING.fullmatch(row):
                examples[-1].ending = row
            elif row.startswith("(stderr) "):
                examples[-1].steps.append(("err", row[len("(stderr) "):]))
            elif row.startswith("(") and row.endswith(")"):
                if row[1:-1] not in ACTIONS:
                    raise Failure(f"line {line + offset}: unknown action {row}")
                examples[-1].steps.append(("do", row[1:-1]))
            else:
                examples[-1].steps.append(("out", row))
        for example in examples:
            if not example.ending:
                raise Failure(f"line {example.line}: the command has no ending line")
        yield directives, examples, block["json"]


def item_added(world, process):
    """Adds an item the way sync tools do (a hidden file renamed into place) once the watch
    covers the calendar, so that the change cannot come before it."""
    calendar = os.path.join(world.root, "work", "meetings")
    inode = f" ino:{os.stat(calendar).st_ino:x} "
    deadline = time.monotonic() + PATIENCE
    while not watches(process.pid, inode):
        if time.monotonic() > deadline:
            raise Failure("the watch never covered work/meetings")
        time.sleep(0.02)
    hidden = os.path.join(calendar, ".new.ics")
    shutil.copy(os.path.join(calendar, "standup.ics"), hidden)
    os.rename(hidden, os.path.join(calendar, "new.ics"))


def watches(pid, inode):
    try:
        for fd in os.listdir(f"/proc/{pid}/fd"):
            if os.readlink(f"/proc/{pid}/fd/{fd}") == "anon_inode:inotify":
                with open(f"/proc/{pid}/fdinfo/{fd}") as info:
                    if any(row.startswith("inotify wd:") and inode in row for row in info):
                        return True
    except OSError:
        pass
    return False


ACTIONS = {
    "SIGTERM": lambda world, process: process.send_signal(signal.SIGTERM),
    "an item is added to work/meetings": item_added,
    "the reader closes standard output": lambda world, process: process.stdout.close(),
}


class World:
    """The temporary home of one block: the calendar store, and the sound server if any."""

    def __init__(self):
        self.directory = tempfile.mkdtemp(prefix="interface-examples-")
        self.processes = []
        self.recorder_pid = None
        d = self.directory
        for sub in ("home", "data", "cache", "config", "runtime"):
            os.mkdir(os.path.join(d, sub), 0o700)
        self.root = os.path.join(d, "data", "vandrelis", "calendars")
        with open(os.path.join(d, "client.conf"), "w") as conf:
            conf.write("autospawn = no\n")
        # Nothing of the user's: no session bus (so no Evolution Data Server), no sound server.
        self.environment = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": f"{d}/home",
            "XDG_DATA_HOME": f"{d}/data", "XDG_CACHE_HOME": f"{d}/cache",
            "XDG_CONFIG_HOME": f"{d}/config", "XDG_RUNTIME_DIR": f"{d}/runtime",
            "XDG_DATA_DIRS": f"{d}/data", "DBUS_SESSION_BUS_ADDRESS": f"unix:path={d}/no-bus",
            "PULSE_CLIENTCONFIG": f"{d}/client.conf", "TZ": "UTC", "LANG": "C.UTF-8",
        }
        for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
            if name in os.environ:
                self.environment[name] = os.environ[name]

    def prepare(self, setup, samples):
        if setup == "samples":
            shutil.copytree(samples, self.root, symlinks=True)
        elif setup == "sound-server":
            self.start_sound_server()
        elif setup not in ("no-calendar-root", "no-sound-server"):
            raise Failure(f"unknown setup {setup}")

    def start_sound_server(self):
        for program in ("pulseaudio", "pactl", "parecord"):
            if not shutil.which(program):
                raise Skip(f"{program} is not installed (Debian: pulseaudio, pulseaudio-utils)")
        # A desktop session names the processes it started, ours included, before any bundle.
        with open("/proc/self/cgroup") as cgroup:
            if re.search(r"/(app|snap)[-.][^/]*\.(scope|service)$", cgroup.read(), re.M):
                raise Skip("this test runs inside a desktop application's unit, which would "
                           "name its recorders")
        d = self.directory
        with open(f"{d}/server.pa", "w") as script:
            script.write("load-module module-null-source source_name=demo_microphone "
                         "description=Demo\\ Microphone\n"
                         "load-module module-native-protocol-unix auth-anonymous=1\n")
        self.spawn(["pulseaudio", "-n", "--daemonize=no", "--system=false",
                    "--exit-idle-time=-1", "--use-pid-file=no", "--log-level=error",
                    "-F", f"{d}/server.pa"])
        self.wait_for(lambda: self.pactl("info") is not None, "the sound server")
        # A recorder inside an application bundle, named by its Info.plist, and a plain one,
        # which has no application identity.
        macos = f"{d}/Recorder.app/Contents/MacOS"
        os.makedirs(macos)
        shutil.copy(os.path.realpath(shutil.which("parecord")), f"{macos}/parecord")
        with open(f"{d}/Recorder.app/Contents/Info.plist", "w") as plist:
            plist.write('<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict>'
                        "<key>CFBundleIdentifier</key><string>org.example.Recorder</string>"
                        "<key>CFBundleName</key><string>Recorder</string></dict></plist>\n")
        for program in (f"{macos}/parecord", shutil.which("parecord")):
            recorder = self.spawn([program, "--raw", "--device=demo_microphone", "--rate=8000",
                                   "--channels=1"])
            self.recorder_pid = self.recorder_pid or recorder.pid
        self.wait_for(lambda: len((self.pactl("list", "short", "source-outputs") or "")
                                  .splitlines()) == 2, "two recording streams")

    def pactl(self, *arguments):
        run = subprocess.run(["pactl", *arguments], env=self.environment, capture_output=True,
                             text=True)
        return run.stdout if run.returncode == 0 else None

    def spawn(self, argv):
        process = subprocess.Popen(argv, env=self.environment, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.processes.append(process)
        return process

    def wait_for(self, ready, what):
        deadline = time.monotonic() + PATIENCE
        while not ready():
            if time.monotonic() > deadline:
                raise Failure(f"{what} did not come up")
            time.sleep(0.05)

    def close(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.terminate()
                process.wait()
        shutil.rmtree(self.directory, ignore_errors=True)


class Run:
    """One program run, its two output streams read as they come."""

    def __init__(self, argv, environment, cwd):
        self.process = subprocess.Popen(argv, env=environment, cwd=cwd, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.data = {"out": b"", "err": b""}
        self.selector = selectors.DefaultSelector()
        self.selector.register(self.process.stdout, selectors.EVENT_READ, "out")
        self.selector.register(self.process.stderr, selectors.EVENT_READ, "err")

    def lines(self, kind):
        text = self.data[kind].decode("utf-8")
        return text.split("\n")[:-1]  # complete lines only

    def read(self, until, timeout):
        deadline = time.monotonic() + timeout
        while not until() and self.selector.get_map():
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            for key, _ in self.selector.select(left):
                chunk = os.read(key.fd, 65536)
                if chunk:
                    self.data[key.data] += chunk
                else:
                    self.selector.unregister(key.fileobj)
        return until()

    def stop_reading(self, stream):
        if stream in self.selector.get_map():
            self.selector.unregister(stream)

    def finish(self):
        self.read(lambda: False, PATIENCE)  # to the end of both streams
        if self.selector.get_map():
            self.process.kill()
            self.process.wait()
            raise Failure("the program did not end")
        try:
            return self.process.wait(PATIENCE)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise Failure("the program did not end")


def run_example(example, world, programs, varies):
    words = shlex.split(example.command, comments=True)
    environment = dict(world.environment)
    while words and re.fullmatch(r"[A-Z_]+=.*", words[0]):
        name, value = words.pop(0).split("=", 1)
        environment[name] = value
    if not words or words[0] not in programs:
        raise Failure(f"not one of the programs: {example.command}")
    run = Run([programs[words[0]], *words[1:]], environment, world.directory)
    world.processes.append(run.process)  # ended with the world if the example fails
    awaited = {"out": 0, "err": 0}
    for step, text in example.steps:
        if step != "do":
            awaited[step] += 1
            continue
        if not run.read(lambda: all(len(run.lines(k)) >= n for k, n in awaited.items()),
                        PATIENCE):
            raise Failure(f"line {example.line}: no {awaited} lines before ({text}): {run.data}")
        run.read(lambda: False, 0.3)  # a line too many would show now
        if text == "the reader closes standard output":
            run.stop_reading(run.process.stdout)
        ACTIONS[text](world, run.process)
    status = run.finish()
    ending = (f"(exit status {status})" if status >= 0
              else f"(killed by {signal.Signals(-status).name})")

    problems = []
    for kind in ("out", "err"):
        expected, actual = example.expected(kind), run.lines(kind)
        if varies:
            actual = [check_varying(line, varies, world, problems) for line in actual]
            expected = [mask(line, varies) for line in expected]
        if words[0] == "vandrelis-mic-detector":
            # A poll may repeat its line once more before the signal lands.
            actual = [line for i, line in enumerate(actual) if i == 0 or line != actual[i - 1]]
        if actual != expected:
            problems.append(f"standard {'output' if kind == 'out' else 'error'}, documented:\n"
                            + "".join(f"  {line}\n" for line in expected) + "written:\n"
                            + "".join(f"  {line}\n" for line in actual))
    if ending != example.ending:
        problems.append(f"documented {example.ending}, but it ended {ending}")
    if problems:
        raise Failure(f"line {example.line}: $ {example.command}\n" + "\n".join(problems))
    return run.lines("out")


def mask(line, varies):
    return re.sub(r'"(%s)":-?\d+' % "|".join(varies), r'"\1":N', line)


def check_varying(line, varies, world, problems):
    """The values that differ between runs still have to be right: recorders' pids, and
    times of this run, each line's no earlier than its entries'."""
    now = time.time() * 1000
    values = re.findall(r'"(%s)":(-?\d+)' % "|".join(varies), line)
    for key, value in values:
        if key == "pid" and int(value) != world.recorder_pid:
            problems.append(f"pid {value} is not the bundled recorder's ({world.recorder_pid})")
        if key.endswith("Ms") and not now - 60_000 < int(value) <= now:
            problems.append(f"{key} {value} is not a time of this run")
    stamps = [int(v) for k, v in values if k == "timestampMs"]
    if stamps and any(int(v) > stamps[0] for k, v in values if k == "detectedAtMs"):
        problems.append(f"an entry detected after its line was stamped: {line}")
    return mask(line, varies)


def ordered(text):
    return json.loads(text, object_pairs_hook=lambda pairs: pairs)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("document")
    parser.add_argument("--samples", required=True)
    parser.add_argument("--eventkit", required=True)
    parser.add_argument("--detector", required=True)
    arguments = parser.parse_args()
    programs = {"vandrelis-eventkit": os.path.abspath(arguments.eventkit),
                "vandrelis-mic-detector": os.path.abspath(arguments.detector)}
    with open(arguments.document, encoding="utf-8") as document:
        text = document.read()

    failures, skips, count = [], [], 0
    for directives, examples, indented in parse_examples(text):
        setup = directives.get("setup", ["samples"])[0]
        world = World()
        try:
            world.prepare(setup, arguments.samples)
            last = None
            for example in examples:
                count += 1
                output = run_example(example, world, programs, directives.get("varies"))
                last = output[-1] if output else None
            if indented is not None and (last is None or ordered(indented) != ordered(last)):
                raise Failure(f"the indented JSON after line {examples[-1].line} is not the "
                              f"answer above it:\n{last}")
        except Skip as reason:
            skips.append(f"{setup}: {reason}")
        except Failure as failure:
            failures.append(str(failure))
        finally:
            world.close()

    for failure in failures:
        print(f"FAILED {failure}\n")
    for skip in skips:
        print(f"SKIPPED {skip}")
    print(f"{count} examples run, {len(failures)} failed, {len(skips)} blocks skipped")
    if count == 0 or failures:
        return 1
    if skips:
        return 1 if os.environ.get("CI") else SKIP
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Failure as failure:
        print(f"FAILED {failure}")
        sys.exit(1)
