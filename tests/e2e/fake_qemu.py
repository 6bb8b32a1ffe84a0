#!/usr/bin/env python3
"""A stand-in for qemu-system-x86_64 in runner_test.py, the peer of a session
without QEMU. It listens on the QMP socket its command line names, greets,
answers every command, and like QEMU started with -S does nothing until
"cont". Then it plays the script in $FAKE_QEMU_SCRIPT, a JSON list of steps:

    {"serial": TEXT}          written to stdout (latin-1), in pieces
    {"debugcon": TEXT}        written one byte per write to the -add-fd descriptor
    {"key": KEY}              waits until these bytes have come in on stdin
    {"event": NAME}           sent as a QMP event
    {"sleep": SECONDS}

and exits with status 0. After "stop" it does nothing more, as a stopped
machine. $FAKE_QEMU_LOG gets one JSON object per line for what it saw: each
QMP command, each key with the serial bytes written when it came, and the
count of debug-console bytes written after each write.
"""

import json
import os
import socket
import sys
import threading
import time

ARGS = sys.argv[1:]
LOG = open(os.environ["FAKE_QEMU_LOG"], "a", buffering=1)
STOPPED = threading.Event()
GO = threading.Event()
KEYS = []  # (byte, serial bytes written when it came)
SERIAL = [0]


def note(**what) -> None:
    LOG.write(json.dumps(what) + "\n")


def serve(connection: socket.socket) -> None:
    for line in connection.makefile("rb"):
        command = json.loads(line)["execute"]
        note(qmp=command)
        connection.sendall(b'{"return": {}}\n')
        (GO if command == "cont" else STOPPED if command == "stop" else threading.Event()).set()


def read_keys() -> None:
    while byte := os.read(0, 1):
        KEYS.append((byte, SERIAL[0]))


def main() -> None:
    qmp_path = ARGS[ARGS.index("-qmp") + 1][len("unix:"):].split(",")[0]
    debugcon = int(ARGS[ARGS.index("-add-fd") + 1].split(",")[0][len("fd="):]) if "-add-fd" in ARGS else None
    server = socket.socket(socket.AF_UNIX)
    server.bind(qmp_path)
    server.listen(1)
    connection, _ = server.accept()
    connection.sendall(b'{"QMP": {"version": {}, "capabilities": []}}\n')
    threading.Thread(target=serve, args=(connection,), daemon=True).start()
    GO.wait(10)
    threading.Thread(target=read_keys, daemon=True).start()
    written = 0
    with open(os.environ["FAKE_QEMU_SCRIPT"], encoding="utf-8") as handle:
        script = json.load(handle)
    for step in script:
        if "serial" in step:
            data = step["serial"].encode("latin-1")
            for start in range(0, len(data), 256):
                while STOPPED.is_set():
                    time.sleep(1)
                SERIAL[0] += len(data[start:start + 256])  # before the write, which may bring the key at once
                sys.stdout.buffer.write(data[start:start + 256])
                sys.stdout.flush()
                time.sleep(0.002)
        elif "debugcon" in step:
            for byte in step["debugcon"].encode("ascii"):
                os.write(debugcon, bytes([byte]))
                written += 1
                note(debugcon=written)  # the kill may come between the write and this line
        elif "key" in step:
            want = step["key"].encode("latin-1")
            while len(KEYS) < len(want):
                time.sleep(0.01)
            got, KEYS[:len(want)] = KEYS[:len(want)], []
            note(key=b"".join(b for b, _ in got).decode("latin-1"), serial=got[0][1])
        elif "event" in step:
            connection.sendall(json.dumps({"event": step["event"], "data": {}}).encode() + b"\n")
        elif "sleep" in step:
            time.sleep(step["sleep"])
        while STOPPED.is_set():
            time.sleep(1)


if __name__ == "__main__":
    main()
