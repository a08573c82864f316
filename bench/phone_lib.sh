# phone_lib.sh - what the benchmarks that run the real phone share; sourced,
# not run. The caller sets phone_pid and reader_pid (may stay empty) and
# root (a folder in the temporary folder $work, removed at exit).

phone_pid=""
reader_pid=""

stop_pid() { # PID SECONDS: SIGTERM, wait up to SECONDS, then SIGKILL
    local pid="$1" wait_s="$2" i
    [[ -n "$pid" ]] && kill -0 "$pid" 2>/dev/null || return 0
    kill -TERM "$pid" 2>/dev/null || true
    for ((i = 0; i < wait_s * 10; i++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
        kill -KILL "$pid" 2>/dev/null || true
    fi
    wait "$pid" 2>/dev/null || true
}

# The phone's power-off unloads the driver (about six seconds), hence 15.
cleanup() {
    stop_pid "$reader_pid" 2
    stop_pid "$phone_pid" 15
    [[ -n "${work:-}" ]] && rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# utime + stime of a process, all threads, in clock ticks (fields 14 and 15;
# the command name in field 2 may hold spaces, so count from its closing
# parenthesis).
cpu_ticks() {
    local stat rest
    stat="$(cat "/proc/$1/stat")" || return 1
    rest="${stat##*) }"
    read -r -a f <<<"$rest"
    echo $((f[11] + f[12]))
}

# Time on a CPU of every live thread of a process, in nanoseconds
# (/proc/PID/task/*/schedstat, first field): finer than clock ticks, which
# count 10 ms at a time, too coarse for a process that is nearly idle.
cpu_ns() {
    cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%.0f\n", s }'
}
