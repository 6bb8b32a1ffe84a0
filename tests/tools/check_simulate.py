#!/usr/bin/env python3
"""`simulate` as a user runs it: typed keys, a person at a terminal (a
pseudo-terminal here), its summary and JSON, an image of one's own, and the
refusals (status 2 with one line on stderr). The erase ranges expected are
fixed addresses of the sample layouts, not what `inspect` reports."""
import argparse
import json
import os
import pty
import select
import signal
import subprocess
import sys
import time

# samples/combo-ab2-64m.json: side A's level-2 directory holds the fTPM and
# MVQ NVRAM entries at these flash offsets; side B's at 0x1200000/0x1210000.
SIDE_A = [{"address": "0x1140000", "size": "0x4000"}, {"address": "0x1150000", "size": "0x8000"}]
SIDE_B = [{"address": "0x1200000", "size": "0x4000"}, {"address": "0x1210000", "size": "0x8000"}]


def run(tool, *args):
    return subprocess.run([tool, "simulate", *args], capture_output=True, text=True, timeout=120,
                          stdin=subprocess.DEVNULL)


class Terminal:
    """The tool on a pseudo-terminal: what it draws, and keys typed into it."""

    def __init__(self, tool, *args):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.execv(tool, [tool, "simulate", *args])
        self.output = b""

    def read_until(self, text, seconds=60):
        deadline = time.monotonic() + seconds
        while text.encode() not in self.output and time.monotonic() < deadline:
            ready, _, _ = select.select([self.fd], [], [], 0.5)
            if ready:
                try:
                    chunk = os.read(self.fd, 65536)
                except OSError:
                    break
                if not chunk:
                    break
                self.output += chunk
        return text.encode() in self.output

    def type(self, keys):
        os.write(self.fd, keys)

    def finish(self, seconds=60):
        self.read_until("\0never\0", seconds=0.5)
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                self.read_until("\0never\0", seconds=0.2)
                os.close(self.fd)
                return os.waitstatus_to_exitcode(status)
            self.read_until("\0never\0", seconds=0.2)
        os.kill(self.pid, signal.SIGKILL)
        os.waitpid(self.pid, 0)
        os.close(self.fd)
        return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--samples", required=True)
    parser.add_argument("--work", required=True)
    options = parser.parse_args()
    os.makedirs(options.work, exist_ok=True)
    tool = options.tool
    failures = []
    checks = 0

    def check(condition, what):
        nonlocal checks
        checks += 1
        if not condition:
            failures.append(what)

    def report(*args):
        result = run(tool, *args, "--json")
        check(result.returncode == 0, f"simulate {' '.join(args)}: status {result.returncode} {result.stderr}")
        return json.loads(result.stdout) if result.returncode == 0 else {}

    # Typed keys on the built-in sample: X is refused and asked again, Y erases side A.
    story = report("--keys", "x,y")
    check(story.get("erase_requests") == SIDE_A, f"keys x,y: {story.get('erase_requests')}")
    check(story.get("reset") == "cold" and story.get("prompts_drawn") == 2, f"keys x,y: {story}")
    # Bit 30 of the RecoveryFlag, in hexadecimal or decimal, chooses side B.
    for flag in ("0x40000000", "1073741824"):
        check(report("--keys", "y", "--recovery-flag", flag).get("erase_requests") == SIDE_B, f"flag {flag}")
    # The fTPM-only request erases the fTPM NVRAM alone; N erases nothing and
    # the second call asks again.
    check(report("--keys", "y", "--setting", "122=0", "--setting", "377=1").get("erase_requests") == SIDE_A[:1],
          "setting 377 alone")
    twice = report("--keys", "n,esc,n", "--handler-calls", "2")
    check(twice.get("erase_requests") == [] and twice.get("handler_status") == "0x0" and
          len(twice.get("handler_calls", [])) == 2, f"n twice: {twice}")
    check(report("--keys", "y", "--no-comm-buffer").get("erase_requests") == [], "no communication buffer")
    check(report("--keys", "y", "--absent", "pcd").get("protocol_installed") is False, "absent pcd")
    small = report("--keys", "y", "--console", "80x25")
    wide = report("--keys", "y", "--console", "100x31")
    check(len(small.get("screen", [])) == 25 and len(wide.get("screen", [])) == 31, "console sizes")

    # An image of one's own, on the processor its layout serves, and the summary.
    image = os.path.join(options.work, "plain.bin")
    made = subprocess.run([tool, "mkimage", os.path.join(options.samples, "plain-16m.json"), "-o", image],
                          capture_output=True, text=True, timeout=120)
    check(made.returncode == 0, f"mkimage: {made.stderr}")
    text = run(tool, "--image", image, "--cpu", "0x00810F82", "--keys", "y")
    # plain-16m.json: the level-2 directory's entries, translated into the 16 MB window.
    check(text.returncode == 0 and "  0xFF400000, 0x10000 bytes\n" in text.stdout and
          "  0xFF420000, 0x20000 bytes\n" in text.stdout and "Reset:                  cold\n" in text.stdout,
          f"summary on plain-16m: {text.returncode} {text.stdout[-600:]}")
    # Without --cpu an image is booted on the built-in sample's processor.
    other = report("--image", image, "--keys", "y")
    check(other.get("processor") == "0x00A70F42" and other.get("entry_status") == "0x0", f"image without --cpu: {other}")

    # A person at a terminal: the prompt is drawn there, Y answers it.
    person = Terminal(tool)
    check(person.read_until("Y"), "terminal: no prompt drawn")
    person.type(b"y")
    status = person.finish()
    shown = person.output.decode("utf-8", "replace")
    check(status == 0, f"terminal: status {status}")
    check("\x1b[2J" in shown and "\x1b[?25h" in shown, "terminal: screen not cleared or cursor not restored")
    check("0x1140000, 0x4000 bytes" in shown and "Reset:                  cold" in shown, f"terminal: {shown[-400:]!r}")
    # Ctrl-C while the prompt waits: status 130, the terminal put back.
    interrupted = Terminal(tool)
    check(interrupted.read_until("Y"), "terminal: no prompt before Ctrl-C")
    interrupted.type(b"\x03")
    status = interrupted.finish()
    check(status == 130 and interrupted.output.endswith(b"\x1b[0m\x1b[?25h\r\n"),
          f"Ctrl-C: status {status}, tail {interrupted.output[-30:]!r}")
    refusals = {
        "a bad --cpu": ["--cpu", "0x1G"],
        "a setting without a value": ["--setting", "122"],
        "a setting token that is no number": ["--setting", "x=1"],
        "a bad key": ["--keys", "yes"],
        "a bad console": ["--console", "80by25"],
        "a 33-bit flag": ["--recovery-flag", "0x100000000"],
        "an unknown piece": ["--absent", "keyboard"],
        "too many handler calls": ["--handler-calls", "1001"],
        "a missing image": ["--image", os.path.join(options.work, "none.bin")],
        "an unknown option": ["--colour"],
    }
    for what, args in refusals.items():
        result = run(tool, *args)
        lines = result.stderr.strip().splitlines()
        check(result.returncode == 2 and len(lines) == 1 and not result.stdout,
              f"{what}: status {result.returncode}, stderr {result.stderr!r}, stdout {result.stdout[:80]!r}")

    for failure in failures:
        print("FAIL:", failure)
    print(f"{checks - len(failures)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
