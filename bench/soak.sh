#!/usr/bin/env bash
# soak.sh [--rate X] [--minutes M] [--poll-ms N] [--build DIR] - load and soak
# test of the real phone with a navigation program reading its receiver port.
#
# Boots `phone --headless --install-driver` on a temporary root with one
# generated station (no capture, no injected errors, so every group the
# simulator sends is one the framer accepts) at X times the broadcast rate
# of 11.418 groups/s (1187.5 bit/s, 104 bits a group), attaches
# bench/soak_reader.py to ROOT/dev/COM9 and lets it read for M minutes from
# 5 s after the first $RTTMC. Prints:
#  - groups generated: rate x 11.418 x the reader's window (the phone does not
#    expose the simulator's own counter), and $RTTMC sentences read;
#  - sentences with a bad checksum or not whole;
#  - lost: generated - read (an estimate: generated RDS cannot be numbered);
#  - the phone's CPU (utime + stime from /proc over the window), its peak
#    memory (VmHWM) and VmRSS at the start, middle and end;
#  - the driver log's growth (ROOT/Tavrinel.log, bytes per minute: the
#    driver logs every read with its text).
# --poll-ms is the phone's safety poll (the FM stack wakes the port reader).
# Defaults: --rate 100 --minutes 10 --build build/release, the phone's own poll.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
rate=100
minutes=10
poll_ms=""
build="$here/build/release"
while [[ $# -gt 0 ]]; do
    case "$1" in
    --rate) rate="$2"; shift 2 ;;
    --minutes) minutes="$2"; shift 2 ;;
    --poll-ms) poll_ms="$2"; shift 2 ;;
    --build) build="$2"; shift 2 ;;
    *) echo "usage: $0 [--rate X] [--minutes M] [--poll-ms N] [--build DIR]" >&2; exit 2 ;;
    esac
done
if ! awk -v r="$rate" -v m="$minutes" 'BEGIN { exit !(r >= 0.01 && r <= 1000 && m > 0) }'; then
    echo "soak: --rate must be 0.01..1000 and --minutes above 0" >&2
    exit 2
fi
phone="$build/bin/phone"
[[ -x "$phone" ]] || { echo "soak: no $phone (build it: cmake --build $build --target phone)" >&2; exit 1; }

# The phone takes over only an empty folder: its output and scenario go beside it.
work="$(mktemp -d "${TMPDIR:-/tmp}/tavrinel-soak-XXXXXX")"
root="$work/root"
# shellcheck source=phone_lib.sh
source "$here/bench/phone_lib.sh"

status_kb() { awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status"; }
log_bytes() { stat -c %s "$root/Tavrinel.log" 2>/dev/null || echo 0; }

cat >"$work/soak.scn" <<EOF
# soak: one generated station, no injected errors
seed 1
latency 5
rate $rate
frequency 90000
station 90000 signal=45 pi=5A17 rds=generated ps="SOAKTEST" rt="Tavrinel soak" tmc=on ltn=12 sid=3 messages=8
EOF

phone_args=(--headless --install-driver --root "$root" --scenario "$work/soak.scn")
[[ -n "$poll_ms" ]] && phone_args+=(--poll-ms "$poll_ms")
"$phone" "${phone_args[@]}" >"$work/phone.out" 2>&1 &
phone_pid=$!
for ((i = 0; i < 100; i++)); do
    [[ -e "$root/dev/COM9" ]] && break
    kill -0 "$phone_pid" 2>/dev/null || { cat "$work/phone.out" >&2; exit 1; }
    sleep 0.1
done
[[ -e "$root/dev/COM9" ]] || { echo "soak: COM9 never appeared" >&2; exit 1; }

seconds=$(awk -v m="$minutes" 'BEGIN { printf "%d", m * 60 }')
python3 -u "$here/bench/soak_reader.py" "$root/dev/COM9" "$seconds" \
    >"$root/reader.out" 2>"$root/reader.err" &
reader_pid=$!

# The window starts with the first $RTTMC (the reader's progress line comes
# 10 s later); the phone's figures are taken at about the same moment.
for ((i = 0; i < 600; i++)); do
    [[ -s "$root/Tavrinel.log" ]] && grep -q 'RTTMC' "$root/Tavrinel.log" && break
    sleep 0.1
done
hz="$(getconf CLK_TCK)"
t0="$(date +%s.%N)"
c0="$(cpu_ticks "$phone_pid")"
l0="$(log_bytes)"
rss=("$(status_kb "$phone_pid" VmRSS)")
echo "soak: rate ${rate}x ($(awk -v r="$rate" 'BEGIN { print r * 1187.5 / 104 }') groups/s), safety poll ${poll_ms:-default}, ${minutes} min, load $(cut -d' ' -f1-3 /proc/loadavg)"
half=$((seconds / 2))
sleep "$half"
rss+=("$(status_kb "$phone_pid" VmRSS)")
wait "$reader_pid" || true
reader_pid=""
c1="$(cpu_ticks "$phone_pid")"
t1="$(date +%s.%N)"
l1="$(log_bytes)"
rss+=("$(status_kb "$phone_pid" VmRSS)")
hwm="$(status_kb "$phone_pid" VmHWM)"
load="$(cut -d' ' -f1-3 /proc/loadavg)"

read -r result <"$root/reader.out" || { cat "$root/reader.err" >&2; exit 1; }
eval "$result" # window_s rttmc rtrds other bad
awk -v rate="$rate" -v w="$window_s" -v read="$rttmc" -v rtrds="$rtrds" -v other="$other" \
    -v bad="$bad" -v c="$((c1 - c0))" -v hz="$hz" -v t0="$t0" -v t1="$t1" \
    -v l="$((l1 - l0))" -v r0="${rss[0]}" -v r1="${rss[1]}" -v r2="${rss[2]}" -v hwm="$hwm" \
    -v load="$load" 'BEGIN {
    gen = rate * 1187.5 / 104 * w; lost = gen - read; wall = t1 - t0
    printf "window                 %.1f s (reader: from 5 s after the first $RTTMC)\n", w
    printf "groups generated       %.0f (rate x 11.418/s x window; estimate)\n", gen
    printf "sentences read         %d $RTTMC (%.1f/s), %d $RTRDS, %d other\n", read, read / w, rtrds, other
    printf "bad sentences          %d (wrong checksum or not whole)\n", bad
    printf "lost (estimate)        %.0f (%.2f %%; negative = read more than the nominal rate)\n", lost, 100 * lost / gen
    printf "phone CPU              %.1f s in %.1f s = %.1f %% of one core\n", c / hz, wall, 100 * c / hz / wall
    printf "phone memory           VmHWM %d KiB; VmRSS start %d, middle %d, end %d KiB\n", hwm, r0, r1, r2
    printf "log growth             %.2f MB/min (%d bytes in %.1f s)\n", l / 1e6 / (wall / 60), l, wall
    printf "machine load (end)     %s\n", load
}'
