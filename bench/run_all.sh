#!/usr/bin/env bash
# run_all.sh [BUILD_DIR] - every benchmark, one table of figures.
#
# Configures and builds a Release build in BUILD_DIR (default build/release)
# if needed, then runs:
#  - framer_bench: framer throughput beside memcpy (clean, 5 % damaged,
#    lost bytes; 12..64-byte and 1 KiB runs);
#  - port_bench: end to end groups/s, lost and latency p50/p99 with the
#    bridge woken after each event (as the phone runs it) and polling only;
#  - bench/phone_cpu.sh 15: the phone's CPU at the broadcast rate;
#  - callgrind on one framer_bench case (clean stream, 12..64-byte runs,
#    one pass of 16384 groups): instructions counted inclusively inside the
#    library's stack event callback only (--toggle-collect), divided by the
#    groups the framer delivered in that run.
# About 3 minutes on an idle 2-core machine, build excluded.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(realpath -m "${1:-$here/build/release}")"
work="$(mktemp -d "${TMPDIR:-/tmp}/tavrinel-bench-XXXXXX")"
child=""
cleanup() {
    if [[ -n "$child" ]]; then
        kill "$child" 2>/dev/null || true
        wait "$child" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

run() { # runs a command in the background so a signal can stop it
    "$@" &
    child=$!
    wait "$child"
    child=""
}

if [[ ! -f "$build/build.ninja" ]]; then
    cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" -j 2 --target phone Tavrinel Lumarc FMS_API VorliskClient FakeStack \
    framer_bench port_bench test_bin_links >/dev/null
export TAVRINEL_MODULE_DIR="$build/testbin"
start=$SECONDS
load0="$(cut -d' ' -f1-3 /proc/loadavg)"

echo "run_all: framer_bench" >&2
run "$build/testbin/framer_bench" --benchmark_out="$work/framer.json" --benchmark_out_format=json \
    >/dev/null
echo "run_all: port_bench" >&2
run "$build/testbin/port_bench" --benchmark_out="$work/port.json" --benchmark_out_format=json \
    >/dev/null 2>"$work/port.err"
echo "run_all: phone_cpu.sh 15" >&2
run "$here/bench/phone_cpu.sh" 15 "$build" >"$work/cpu.txt"
echo "run_all: callgrind" >&2
run valgrind --tool=callgrind --callgrind-out-file="$work/callgrind.out" \
    --toggle-collect='*StackEventCallback*' \
    "$build/testbin/framer_bench" --benchmark_filter='^BM_Framer/0/0$' --benchmark_min_time=0.000001 \
    --benchmark_out="$work/callgrind.json" --benchmark_out_format=json \
    >/dev/null 2>"$work/callgrind.err"

python3 - "$work" "$load0" "$(cut -d' ' -f1-3 /proc/loadavg)" "$((SECONDS - start))" <<'EOF'
import json, re, sys
work, load0, load1, seconds = sys.argv[1:5]

def bench(name):
    with open(f"{work}/{name}.json") as f:
        return {b["name"]: b for b in json.load(f)["benchmarks"]}

rows = []
framer = bench("framer")
streams = {0: "clean", 1: "5 % damaged groups", 2: "5 % groups missing a byte"}
runs = {0: "12-64 B runs", 1: "1 KiB runs"}
for s, stream in streams.items():
    for r, kind in runs.items():
        f, m = framer[f"BM_Framer/{s}/{r}"], framer[f"BM_Memcpy/{s}/{r}"]
        rows.append((f"framer, {stream}, {kind}",
                     "%.0f M groups/s, %.2f GB/s (memcpy %.1f GB/s)"
                     % (f["groups/s"] / 1e6, f["bytes_per_second"] / 1e9,
                        m["bytes_per_second"] / 1e9)))

port = bench("port")
by_poll = {}
for name, b in port.items():
    m = re.match(r"Port/([0-9.e+]+)/(wake|poll:\d+)", name)
    if m:
        by_poll.setdefault(m.group(2), []).append((float(m.group(1)), b))
# "wake" first, then the poll intervals from the longest.
order = sorted(by_poll, key=lambda k: (k != "wake", -int(k[5:]) if k != "wake" else 0))
def mode(k):
    return "woken" if k == "wake" else "poll %s ms, not woken" % k[5:]
for poll in order:
    cells = []
    for rate, b in sorted(by_poll[poll], key=lambda x: x[0]):
        if b.get("error_occurred"):
            cells.append("%g: error" % rate)
            continue
        cells.append("%g/s: %.0f/s read, %.1f %% lost" % (rate, b["groups/s"], b["lost%"]))
    rows.append((f"port end to end, {mode(poll)}", "; ".join(cells)))
for poll in order:
    lat = ["%g/s %.2f/%.2f ms" % (rate, b["p50_ms"], b["p99_ms"])
           for rate, b in sorted(by_poll[poll], key=lambda x: x[0])
           if not b.get("error_occurred") and rate <= 10000]
    rows.append((f"event to port p50/p99, {mode(poll)}", "; ".join(lat)))

cpu = open(f"{work}/cpu.txt").read()
m = re.search(r"= ([0-9.]+) % of one core", cpu)
s = re.search(r"sentences read: (\d+)", cpu)
rows.append(("phone CPU at 11.4 groups/s with a reader (15 s)",
             "%s %% of one core (%s $RTTMC read)" % (m.group(1) if m else "?",
                                                    s.group(1) if s else "?")))

cg = json.load(open(f"{work}/callgrind.json"))["benchmarks"][0]
groups = cg["iterations"] * cg["groups/pass"]
ir = None
for line in open(f"{work}/callgrind.out"):
    if line.startswith("totals:") or line.startswith("summary:"):
        ir = int(line.split()[1])
rows.append(("instructions per group (callgrind, stack callback, clean 12-64 B runs)",
             "%.0f (%d instructions / %d groups)" % (ir / groups, ir, groups)
             if ir and groups else "?"))

width = max(len(r[0]) for r in rows)
print("| %-*s | %s |" % (width, "figure", "measured"))
print("|%s|%s|" % ("-" * (width + 2), "-" * 10))
for label, value in rows:
    print("| %-*s | %s |" % (width, label, value))
print(f"({seconds} s of benchmarks; load average before {load0}, after {load1})")
EOF
