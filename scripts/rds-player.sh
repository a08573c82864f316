#!/bin/sh
# rds-player.sh KHZ [DIR] — stands in for an SDR decoder (rtl_fm | redsea -o hex):
# prints the RDS capture that "broadcasts" on KHZ as hex group lines, at the
# broadcast pace (RDS_PLAYER_PACE seconds a group, default 0.0876), forever.
# The captures of DIR (default ../shared/rds beside the project), sorted by
# name, sit on 88.0, 89.0, 90.0 ... MHz; every other frequency is silent.
khz=$1
dir=${2:-$(dirname "$0")/../../shared/rds}
pace=${RDS_PLAYER_PACE:-0.0876}
case $khz in
'' | *[!0-9]*)
    echo "rds-player: not a frequency in kHz: $khz" >&2
    exit 2
    ;;
esac
file=
# The shell's own sorted glob, not a pipeline: a seek listens only briefly on
# each frequency, so the first group must come soon after the start.
if [ "$khz" -ge 88000 ] && [ $((khz % 1000)) -eq 0 ]; then
    n=$(((khz - 88000) / 1000 + 1))
    for f in "$dir"/*; do
        case $f in
        *.rds | *.spy) n=$((n - 1)) ;;
        *) continue ;;
        esac
        if [ "$n" -eq 0 ]; then
            file=${f##*/}
            break
        fi
    done
fi
# A capture without a single group line is silence too: replaying it would spin.
if [ -z "$file" ] || ! grep -q -v '^[%<]' "$dir/$file"; then
    [ -d "$dir" ] || echo "rds-player: no captures in $dir" >&2
    exec sleep 86400 # nothing on this frequency
fi
# Round and round; once the output is gone (a write fails, or SIGPIPE ends the
# reading loop) or the capture has vanished, the player ends.
while :; do
    grep -v '^[%<]' "$dir/$file" | {
        played=
        while IFS= read -r line; do
            printf '%s\n' "$line" || exit 1
            played=1
            sleep "$pace"
        done
        [ -n "$played" ]
    } || exit 0
done
