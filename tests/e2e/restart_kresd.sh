#!/usr/bin/env bash
# A restart under load loses no event at the input that the server itself
# would keep. knot-resolver drops its events while it has no receiver: under
# the same steady load it streams dnstap into fstrm_capture, then into a Unix
# listener of the daemon (queue recovery on), and each receiver is stopped
# and started again mid-load. The daemon loses no more of the load than
# fstrm_capture does, repeats none, and stops in a fraction of a second.
source "$(dirname "$0")/lib/common.bash"
source "$(dirname "$0")/lib/unbound.bash"
source "$(dirname "$0")/lib/kresd.bash"
source "$(dirname "$0")/lib/capture.bash"
source "$(dirname "$0")/lib/restart.bash"
need socat kresd kdig dnsperf fstrm_capture dnstap python3

restart_run kcapture capture kresd unix
CAPTURE_LOST=$LOST
restart_run kdaemon daemon kresd unix
[ "$REPEATED" = 0 ] || fail "kdaemon: $REPEATED events repeated"
# kresd's own timers move its loss by a query or two from run to run.
[ "$LOST" -le $((CAPTURE_LOST + RATE / 10)) ] || fail "kdaemon: $LOST events lost, fstrm_capture lost $CAPTURE_LOST"
awk -v t="$STOP_TIME" 'BEGIN { exit !(t <= 0.8) }' || fail "kdaemon: the stop took $STOP_TIME s"
echo "restart_kresd: ok"
