#!/usr/bin/env python3
"""read_port.py PATH [SECONDS] - watch a serial port of the emulated phone.

Opens PATH (e.g. ~/.local/state/tavrinel/phone/dev/COM9) as a navigation
program would (read-write, raw, not as the controlling terminal) and prints
every line it sends. When standard input is a terminal, each line typed is
sent to the port with "\\r\\n"; a line without "*" gets its checksum added
("$PSRF107" -> "$PSRF107*21"). Stops after SECONDS (default: until Ctrl-C).
"""
import os
import select
import sys
import termios
import time
import tty

MAX_LINE = 4096  # a port line longer than this is printed in pieces


def checksum(body: bytes) -> str:
    value = 0
    for byte in body:
        value ^= byte
    return "%02X" % value


def with_checksum(text: str) -> bytes:
    text = text.strip()
    if text.startswith("$") and "*" not in text:
        text += "*" + checksum(text[1:].encode("ascii", "replace"))
    return text.encode("ascii", "replace") + b"\r\n"


def printable(line: bytes) -> str:
    return "".join(chr(b) if 32 <= b < 127 else "\\x%02x" % b for b in line)


def main() -> int:
    if len(sys.argv) not in (2, 3):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    path = sys.argv[1]
    try:
        seconds = float(sys.argv[2]) if len(sys.argv) == 3 else None
    except ValueError:
        print("read_port: SECONDS must be a number", file=sys.stderr)
        return 2
    try:
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    except OSError as error:
        print("read_port: %s: %s" % (path, error.strerror), file=sys.stderr)
        return 1
    tty.setraw(fd, termios.TCSANOW)
    interactive = sys.stdin.isatty()
    end = time.monotonic() + seconds if seconds is not None else None
    pending = b""
    try:
        while True:
            timeout = None if end is None else max(0.0, end - time.monotonic())
            if timeout == 0.0:
                break
            sources = [fd] + ([sys.stdin] if interactive else [])
            ready, _, _ = select.select(sources, [], [], timeout)
            if fd in ready:
                try:
                    data = os.read(fd, 4096)
                except OSError:
                    break
                if not data:
                    break
                pending += data
                while b"\n" in pending or len(pending) > MAX_LINE:
                    cut = pending.find(b"\n")
                    cut = MAX_LINE if cut < 0 else cut + 1
                    line, pending = pending[:cut], pending[cut:]
                    print(printable(line.rstrip(b"\r\n")), flush=True)
            if sys.stdin in ready:
                typed = sys.stdin.readline()
                if not typed:
                    interactive = False
                elif typed.strip():
                    os.write(fd, with_checksum(typed))
    except (KeyboardInterrupt, BrokenPipeError):
        pass
    finally:
        os.close(fd)
    return 0


if __name__ == "__main__":
    sys.exit(main())
