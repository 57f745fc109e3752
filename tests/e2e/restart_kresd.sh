#!/usr/bin/env bash
# A restart under load loses no event at the input that the server itself
# would keep. knot-resolver drops its events while it has no receiver: under
# the same steady load it streams dnstap into fstrm_capture, then into a Unix
# listener of the daemon (queue recovery on), and each receiver is stopped
# and started again mid-load. Both receivers are held to the same rule, set
# by kresd's own writer; the daemon repeats nothing and stops in a fraction
# of a second.
source "$(dirname "$0")/lib/common.bash"
source "$(dirname "$0")/lib/unbound.bash"
source "$(dirname "$0")/lib/kresd.bash"
source "$(dirname "$0")/lib/capture.bash"
source "$(dirname "$0")/lib/restart.bash"
need socat kresd kdig dnsperf fstrm_capture dnstap python3

# kresd's dnstap writer wakes about once a second (TICK) and writes what was
# logged since. When a write fails it drops that batch and tries to connect
# again when it next wakes; if that fails too, only after about 5 s of its
# own clock: 5 or 6 writes later, as its timer falls, whatever the receiver.
# So a sound receiver costs one stretch of the load, which begins at most one
# write before its connection closed (what kresd wrote while it was open
# arrives) and lasts one write or one such wait. A batch lost after kresd
# wrote it makes the stretch begin a write earlier; a receiver that is not
# back when kresd tries again makes it 5 s longer.
TICK=1.001
check_kresd_run() {
    local run=$1 waits=1
    [ "$LOST" -gt 0 ] || return 0
    echo "$run: last event kept $(awk -v a="$KEPT_BEFORE" -v b="$OPEN_UNTIL" 'BEGIN { printf "%.3f", b - a }') s" \
        "before the connection was last seen open; the first one after that $KEPT_AFTER (epoch s), the receiver" \
        "back $(awk -v o="$OPEN_UNTIL" -v b="$BACK_AT" 'BEGIN { printf "%.3f", b - o }') s after it"
    [ "$GAPS" = 1 ] || fail "$run: events lost in $GAPS separate stretches of the load"
    awk -v a="$KEPT_BEFORE" -v b="$OPEN_UNTIL" -v t="$TICK" 'BEGIN { exit !(b - a <= t + 0.25) }' ||
        fail "$run: events kresd wrote while the receiver's connection was open were lost" \
            "(the last one kept was logged $KEPT_BEFORE, the connection was open until $OPEN_UNTIL)"
    # A receiver back only 5 s or more after its connection closed may have
    # missed kresd's first try: that costs one wait more, not a fault.
    awk -v o="$OPEN_UNTIL" -v b="$BACK_AT" 'BEGIN { exit !(b - o >= 5) }' && waits=2
    if [ "$KEPT_AFTER" = - ]; then
        # Then kresd's next try may come after the end of the load.
        [ $waits = 2 ] || fail "$run: kresd did not come back while the load lasted, though the receiver was back in time"
        return 0
    fi
    echo "$run: kresd silent for $(awk -v a="$KEPT_BEFORE" -v b="$KEPT_AFTER" 'BEGIN { printf "%.3f", b - a }') s"
    awk -v a="$KEPT_BEFORE" -v b="$KEPT_AFTER" -v t="$TICK" -v w="$waits" 'BEGIN { exit !(b - a <= (5 * w + 1) * t + 1.5) }' ||
        fail "$run: kresd was silent from $KEPT_BEFORE to $KEPT_AFTER, longer than $waits wait(s) before it connects" \
            "again (no receiver for $DOWN_TIME s)"
}

restart_run kcapture capture kresd unix
check_kresd_run kcapture
restart_run kdaemon daemon kresd unix
check_kresd_run kdaemon
[ "$REPEATED" = 0 ] || fail "kdaemon: $REPEATED events repeated"
awk -v t="$STOP_TIME" -v b="$STOP_BOUND" 'BEGIN { exit !(t <= b) }' ||
    fail "kdaemon: the stop took $STOP_TIME s (bound $STOP_BOUND s)"
echo "restart_kresd: ok"
