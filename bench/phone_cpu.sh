#!/usr/bin/env bash
# phone_cpu.sh [SECONDS] [BUILD_DIR] - CPU use of the emulated phone at the
# broadcast rate with a navigation program attached to its receiver port.
#
# Starts `phone --headless --install-driver` on a temporary root (the FM
# stack simulator's default stations, about 11.4 RDS groups per second),
# attaches scripts/read_port.py to ROOT/dev/COM9, waits for the tune report,
# then measures the phone's CPU time over SECONDS (default 30) and prints it
# as % of one core, with the sentences read in that window and the load of
# the machine: utime + stime (/proc/PID/stat, in 10 ms ticks) and, finer,
# the threads' run time (/proc/PID/task/*/schedstat, in ns). The phone is then powered off with SIGTERM (its
# driver unload takes about six seconds).
#
# BUILD_DIR defaults to build/default; the phone is BUILD_DIR/bin/phone.
# PHONE_POLL_MS=N passes --poll-ms N to the phone (its safety poll; default:
# its own, 1000 ms, as the FM stack wakes the port reader after its events).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-30}"
build="${2:-$here/build/default}"
phone="$build/bin/phone"
reader="$here/scripts/read_port.py"

if ! [[ "$seconds" =~ ^[0-9]+$ ]] || ((seconds < 1 || seconds > 3600)); then
    echo "usage: $0 [SECONDS 1..3600] [BUILD_DIR]" >&2
    exit 2
fi
if [[ ! -x "$phone" ]]; then
    echo "phone_cpu: no $phone (build it: cmake --build $build --target phone)" >&2
    exit 1
fi

# The phone takes over only an empty folder: its output goes beside it.
work="$(mktemp -d "${TMPDIR:-/tmp}/phone-cpu-XXXXXX")"
root="$work/root"
# shellcheck source=phone_lib.sh
source "$here/bench/phone_lib.sh"

count_sentences() { grep -c '^\$RTTMC' "$root/reader.out" 2>/dev/null || true; }

phone_args=(--headless --install-driver --root "$root")
[[ -n "${PHONE_POLL_MS:-}" ]] && phone_args+=(--poll-ms "$PHONE_POLL_MS")
"$phone" "${phone_args[@]}" >"$work/phone.out" 2>&1 &
phone_pid=$!

for ((i = 0; i < 100; i++)); do
    [[ -e "$root/dev/COM9" ]] && break
    kill -0 "$phone_pid" 2>/dev/null || { cat "$work/phone.out" >&2; exit 1; }
    sleep 0.1
done
[[ -e "$root/dev/COM9" ]] || { echo "phone_cpu: COM9 never appeared" >&2; exit 1; }

python3 -u "$reader" "$root/dev/COM9" $((seconds + 30)) </dev/null >"$root/reader.out" 2>&1 &
reader_pid=$!

# The first open powers the radio on (a second's settling) and tunes.
for ((i = 0; i < 100; i++)); do
    grep -q '^\$RTRDS' "$root/reader.out" 2>/dev/null && break
    sleep 0.1
done
grep -q '^\$RTRDS' "$root/reader.out" || { echo "phone_cpu: no tune report on COM9" >&2; exit 1; }

hz="$(getconf CLK_TCK)"
t0="$(date +%s.%N)"
c0="$(cpu_ticks "$phone_pid")"
n0="$(cpu_ns "$phone_pid")"
s0="$(count_sentences)"
sleep "$seconds"
c1="$(cpu_ticks "$phone_pid")"
n1="$(cpu_ns "$phone_pid")"
t1="$(date +%s.%N)"
s1="$(count_sentences)"

awk -v c="$((c1 - c0))" -v n="$((n1 - n0))" -v hz="$hz" -v t0="$t0" -v t1="$t1" -v s="$((s1 - s0))" \
    -v load="$(cut -d' ' -f1-3 /proc/loadavg)" \
    -v poll="${PHONE_POLL_MS:-1000}" 'BEGIN {
    wall = t1 - t0; cpu = c / hz
    printf "phone CPU with a reader on COM9 (safety poll %s ms): %.2f s in %.1f s = %.3f %% of one core\n",
           poll, cpu, wall, 100 * cpu / wall
    printf "thread run time (schedstat): %.4f s = %.3f %% of one core\n", n / 1e9, 100 * n / 1e9 / wall
    printf "sentences read: %d $RTTMC (%.1f per second)\n", s, s / wall
    printf "machine load (end): %s\n", load
}'
