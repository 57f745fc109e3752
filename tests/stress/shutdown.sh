#!/usr/bin/env bash
# SIGTERM under full load: senders stream events as fast as they can into a
# daemon whose collector is slow, so the queue is deep when the stop comes.
# The stop ends within its bound, and every event the senders wrote (each
# whole frame the kernel took from them) is either at the collector or in the
# queue file, once, with no gap in any sender's sequence: the stop refuses
# their later writes and keeps what they wrote before. A second start sends
# what the file held, and the collector then holds every event.
source "$(dirname "$0")/../e2e/lib/common.bash"
need python3
LOAD="$(dirname "$0")/lib/load.py"
load() { python3 "$LOAD" "$@"; }
SENDERS=20

# collector NAME DELAY: a collector writing to $WORK/events; sets CPORT.
collector() {
    rm -f "$WORK/$1.port"
    start "$1" python3 "$LOAD" collector "$WORK/$1.port" "$WORK/events" "$2"
    COLLECTOR=$LAST_PID
    wait_for 10 test -s "$WORK/$1.port" || fail "$1 did not start"
    CPORT=$(cat "$WORK/$1.port")
}

# daemon NAME: the daemon with a Unix listener and one forwarder to CPORT.
daemon() {
    cat >"$WORK/$1.conf" <<EOC
message-format dnstap
message-queue-recovery on
message-queue-filename events.queue
metrics-interval 3600
listener unix $WORK/in.sock group=$GROUP read-timeout=2
forwarder ipv4 127.0.0.1 $CPORT batch-size=100 recovery=best-effort
EOC
    rm -f "$WORK/in.sock"
    start "$1" "$QX" run "$WORK/$1.conf"
    QPID=$LAST_PID
    wait_for 10 test -S "$WORK/in.sock" || fail "$1: listener missing"
}

# settle FILE: waits up to 60 s until FILE stops growing for 2 s.
settle() {
    local last=-1 now same=0 i
    for i in $(seq 240); do
        now=$(stat -c %s "$1" 2>/dev/null || echo 0)
        if [ "$now" = "$last" ]; then same=$((same + 1)); else same=0; fi
        [ "$same" -ge 8 ] && return 0
        last=$now
        sleep 0.25
    done
    fail "$1 still grows after 60 s"
}

# --- 1. Full load, then SIGTERM.
collector slow 0.01
daemon loaded
load blast "$WORK/in.sock" $SENDERS s 8 >"$WORK/sent" 2>&1 &
BLAST=$!
sleep 3
t0=$(date +%s.%N)
stop_pid "$QPID" || fail "loaded: the daemon did not stop within 30 s"
took=$(python3 -c "print(round($(date +%s.%N) - $t0, 1))")
wait $BLAST || fail "senders failed"
SENT=$(cat "$WORK/sent")
echo "sent $SENT events; stop took $took s"
python3 -c "import sys; sys.exit(0 if $took <= 15 else 1)" || fail "stop under load took $took s"
[ "$(tail -1 "$WORK/loaded.log")" = "[INFO] Stopped" ] || fail "loaded: last line is not Stopped"
[ -f "$WORK/events.queue" ] || fail "no queue file written"
settle "$WORK/events"
DELIVERED=$(load check-prefix s $SENDERS "$WORK/events") || fail "delivered events lost or repeated"
TOTAL=$(load check-prefix s $SENDERS "$WORK/events" "$WORK/events.queue") || fail "events lost or repeated across collector and queue file"
QUEUED=$((TOTAL - DELIVERED))
echo "delivered $DELIVERED, queue file $QUEUED, taken in $TOTAL"
[ "$QUEUED" -gt 0 ] || fail "the queue was empty at the stop: no load"
[ "$TOTAL" = "$SENT" ] || fail "taken in $TOTAL of the $SENT events the senders wrote"
stop_pid "$COLLECTOR"

# --- 2. The next start sends what the file held.
cp "$WORK/events.queue" "$WORK/events.queue.saved"
collector fast 0
daemon recovered
at_least() { [ "$(grep -c "^$1" "$WORK/events")" -ge "$2" ]; }
wait_for 60 at_least s "$TOTAL" ||
    fail "recovered: $(grep -c '^s' "$WORK/events") of $TOTAL events"
stop_pid "$QPID" || fail "recovered: the daemon did not stop"
settle "$WORK/events"
AFTER=$(load check-prefix s $SENDERS "$WORK/events") || fail "recovered: events lost or repeated"
[ "$AFTER" = "$TOTAL" ] || fail "recovered: $AFTER events at the collector, expected $TOTAL"
[ "$(head -c 4 "$WORK/events.queue")" = "sslz" ] && [ "$(stat -c %s "$WORK/events.queue")" = 4 ] ||
    fail "recovered: the queue file after the second stop is not empty"
if grep -qiE "sanitizer|runtime error|terminate called|Run failed" "$WORK"/*.log; then fail "failure reported"; fi
echo "events sent $SENT, taken in $TOTAL, delivered before the stop $DELIVERED, kept in the file $QUEUED"
echo "PASS"
