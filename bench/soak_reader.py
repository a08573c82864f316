#!/usr/bin/env python3
"""soak_reader.py PORT SECONDS [WARMUP] - a navigation program that reads
the receiver port continuously and checks every sentence.

Opens PORT raw, waits for the first $RTTMC sentence and WARMUP seconds more
(default 5: the groups sent while the radio powered on arrive together in the
first reads), then counts for SECONDS: sentences by name, sentences whose
checksum is wrong or that are not "$...*HH\\r\\n" at all. Prints one line of
key=value figures at the end (also on SIGTERM) and, every 10 s, a progress
line to standard error.
"""
import os
import select
import signal
import sys
import termios
import time
import tty

MAX_SENTENCE = 4096


def check(line: bytes) -> bool:
    """A whole sentence: "$", text, "*", two upper-case hex digits of the text's XOR."""
    if len(line) < 4 or line[0:1] != b"$" or line[-3:-2] != b"*":
        return False
    value = 0
    for byte in line[1:-3]:
        value ^= byte
    return line[-2:] == b"%02X" % value and b"*" not in line[1:-3]


def main() -> int:
    if len(sys.argv) not in (3, 4):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    path, seconds = sys.argv[1], float(sys.argv[2])
    warmup = float(sys.argv[3]) if len(sys.argv) == 4 else 5.0
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    if os.isatty(fd):
        tty.setraw(fd, termios.TCSANOW)

    counts = {"RTTMC": 0, "RTRDS": 0, "other": 0}
    bad = 0
    pending = b""
    first = None  # monotonic time of the first $RTTMC
    start = None  # the window's start: first + warmup
    last = None
    stop = [False]

    def on_term(_signum, _frame):
        stop[0] = True

    signal.signal(signal.SIGTERM, on_term)
    signal.signal(signal.SIGINT, on_term)
    next_report = time.monotonic() + 10
    give_up = time.monotonic() + 60  # no RDS at all within a minute
    while not stop[0]:
        now = time.monotonic()
        if first is None and now > give_up:
            break
        if start is not None and now - start >= seconds:
            break
        ready, _, _ = select.select([fd], [], [], 0.2)
        if not ready:
            continue
        try:
            chunk = os.read(fd, 65536)
        except OSError:
            break
        if not chunk:
            break
        pending += chunk
        *lines, pending = pending.split(b"\r\n")
        for line in lines:
            now = time.monotonic()
            if first is None and line.startswith(b"$RTTMC,"):
                first = now
            if start is None:
                if first is None or now - first < warmup:
                    continue  # before the window
                start = now
            last = now
            if not check(line):
                bad += 1
                continue
            name = line[1:6].decode("ascii", "replace")
            counts[name if name in counts else "other"] += 1
        if len(pending) > MAX_SENTENCE:
            bad += 1
            pending = b""
        if now >= next_report:
            next_report = now + 10
            print("soak_reader: %d $RTTMC, %d bad so far" % (counts["RTTMC"], bad),
                  file=sys.stderr, flush=True)
    window = (last - start) if start is not None and last is not None else 0.0
    print("window_s=%.3f rttmc=%d rtrds=%d other=%d bad=%d"
          % (window, counts["RTTMC"], counts["RTRDS"], counts["other"], bad), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
