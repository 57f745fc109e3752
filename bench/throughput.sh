#!/usr/bin/env bash
# Throughput of quorvalex end to end beside fstrm_capture and the dnstap tool,
# on a capture of a real resolver's dnstap stream (made once, then cached).
#   bash bench/throughput.sh [quorvalex-binary] [--frames N] [--senders N] [--only RUNS] [--synthetic] [--perf DIR]
# Without a binary, a Release build is made in build-throughput/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
    qx=$1; shift
else
    qx=$root/build-throughput/quorvalex
    cmake -S "$root" -B "$root/build-throughput" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DQX_TESTS=OFF -DQX_BENCH=OFF >/dev/null
    ninja -j4 -C "$root/build-throughput" quorvalex >/dev/null
fi
exec timeout -s INT 600 python3 "$root/bench/throughput.py" "$qx" "$@"
