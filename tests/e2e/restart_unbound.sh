#!/usr/bin/env bash
# A restart under load loses no event at the input. unbound streams dnstap,
# under a steady load, into a Unix listener and then into a TCP listener of
# the daemon (queue recovery on), which is stopped and started again
# mid-load. unbound keeps its events while nobody listens, so, as with
# fstrm_capture, every event of the load (two per answered query) reaches the
# collector exactly once; each stop takes a fraction of a second.
source "$(dirname "$0")/lib/common.bash"
source "$(dirname "$0")/lib/unbound.bash"
source "$(dirname "$0")/lib/kresd.bash"
source "$(dirname "$0")/lib/capture.bash"
source "$(dirname "$0")/lib/restart.bash"
need socat unbound dnsperf python3

for transport in unix tcp; do
    restart_run "u$transport" daemon unbound "$transport"
    [ "$LOST" = 0 ] || fail "u$transport: $LOST of $EXPECTED events lost"
    [ "$REPEATED" = 0 ] || fail "u$transport: $REPEATED events repeated"
    awk -v t="$STOP_TIME" -v b="$STOP_BOUND" 'BEGIN { exit !(t <= b) }' ||
        fail "u$transport: the stop took $STOP_TIME s (bound $STOP_BOUND s)"
done
echo "restart_unbound: ok"
