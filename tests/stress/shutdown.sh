#!/usr/bin/env bash
# SIGTERM under full load: senders stream events as fast as they can into a
# daemon whose collector reads nothing, so the queue is deep when the stop
# comes and the forwarder is blocked in a send. The stop ends within its
# bound, and every event the senders wrote (each whole frame the kernel took
# from them) is either at the collector or in the queue file, once, with no
# gap in any sender's sequence: the stop refuses their later writes and keeps
# what they wrote before. A second start sends what the file held, and the
# collector then holds every event.
source "$(dirname "$0")/../e2e/lib/common.bash"
need python3
ulimit -n 8192
LOAD="$(dirname "$0")/lib/load.py"
load() { python3 "$LOAD" "$@"; }
SENDERS=20
# Events in the daemon's queue before the stop: the load is on whatever the
# relative speeds of senders, daemon and collector.
DEEP=100000

# collector NAME [HOLDFILE]: a collector writing to $WORK/events, reading no
# data while HOLDFILE exists; sets CPORT.
collector() {
    rm -f "$WORK/$1.port"
    start "$1" python3 "$LOAD" collector "$WORK/$1.port" "$WORK/events" ${2:+"$2"}
    COLLECTOR=$LAST_PID
    wait_for 10 test -s "$WORK/$1.port" || fail "$1 did not start"
    CPORT=$(cat "$WORK/$1.port")
}

# daemon NAME: the daemon with a Unix listener and one forwarder to CPORT.
# The forwarder waits for a held collector as long as the test may hold it.
daemon() {
    cat >"$WORK/$1.conf" <<EOC
message-format dnstap
message-queue-recovery on
message-queue-filename events.queue
metrics-interval 1
listener unix $WORK/in.sock group=$GROUP read-timeout=2
forwarder ipv4 127.0.0.1 $CPORT batch-size=100 recovery=best-effort write-timeout=120
EOC
    rm -f "$WORK/in.sock"
    start "$1" "$QX" run "$WORK/$1.conf"
    QPID=$LAST_PID
    wait_for 10 unix_listening "$WORK/in.sock" || fail "$1: listener missing"
}

# queued LOG N: a metrics report in LOG shows at least N events queued.
queued() {
    awk -v n="$2" 'match($0, /eventsQueued=[0-9]+/) && substr($0, RSTART + 13, RLENGTH - 13) + 0 >= n { ok = 1 }
        END { exit !ok }' "$1"
}

# --- 1. Full load, then SIGTERM.
touch "$WORK/hold"
collector held "$WORK/hold"
daemon loaded
# The senders stop at the daemon's stop; 120 s bounds them if it never comes.
load blast "$WORK/in.sock" $SENDERS s 120 "$WORK/blast.ready" 5000 >"$WORK/sent" 2>&1 &
BLAST=$!
wait_for 60 test -e "$WORK/blast.ready" || fail "the senders did not get going within 60 s"
wait_for 60 queued "$WORK/loaded.log" $DEEP || fail "fewer than $DEEP events queued after 60 s of load"
t0=$(date +%s.%N)
kill -TERM "$QPID"
# The forwarder ends with the send it is blocked in: once the input has
# stopped, the collector reads again.
wait_for 30 grep "Listener\[[0-9]*\]: Finished process loop" "$WORK/loaded.log" ||
    fail "loaded: the listener did not stop within 30 s"
rm "$WORK/hold"
stop_pid "$QPID" || fail "loaded: the daemon did not stop within 30 s"
took=$(python3 -c "print(round($(date +%s.%N) - $t0, 1))")
wait $BLAST || fail "senders failed"
SENT=$(cat "$WORK/sent")
echo "sent $SENT events; stop took $took s"
python3 -c "import sys; sys.exit(0 if $took <= 15 else 1)" || fail "stop under load took $took s"
[ "$(tail -1 "$WORK/loaded.log")" = "[INFO] Stopped" ] || fail "loaded: last line is not Stopped"
[ -f "$WORK/events.queue" ] || fail "no queue file written"
wait_for 60 tcp_served "$CPORT" || fail "the collector still reads 60 s after the stop"
DELIVERED=$(load check-prefix s $SENDERS "$WORK/events") || fail "delivered events lost or repeated"
TOTAL=$(load check-prefix s $SENDERS "$WORK/events" "$WORK/events.queue") || fail "events lost or repeated across collector and queue file"
QUEUED=$((TOTAL - DELIVERED))
echo "delivered $DELIVERED, queue file $QUEUED, taken in $TOTAL"
[ "$QUEUED" -gt 0 ] || fail "the queue was empty at the stop: no load"
[ "$TOTAL" = "$SENT" ] || fail "taken in $TOTAL of the $SENT events the senders wrote"
stop_pid "$COLLECTOR"

# --- 2. The next start sends what the file held.
cp "$WORK/events.queue" "$WORK/events.queue.saved"
collector fast
daemon recovered
# As long as the count grows: how long the file takes depends on how much
# the first run kept.
last=-1 still=0
while :; do
    now=$(grep -c '^s' "$WORK/events" || true)
    [ "$now" -ge "$TOTAL" ] && break
    if [ "$now" = "$last" ]; then still=$((still + 1)); else still=0; fi
    [ "$still" -lt 60 ] || fail "recovered: $now of $TOTAL events, and none more for 30 s"
    last=$now
    sleep 0.5
done
stop_pid "$QPID" || fail "recovered: the daemon did not stop"
wait_for 60 tcp_served "$CPORT" || fail "recovered: the collector still reads 60 s after the stop"
AFTER=$(load check-prefix s $SENDERS "$WORK/events") || fail "recovered: events lost or repeated"
[ "$AFTER" = "$TOTAL" ] || fail "recovered: $AFTER events at the collector, expected $TOTAL"
[ "$(head -c 4 "$WORK/events.queue")" = "sslz" ] && [ "$(stat -c %s "$WORK/events.queue")" = 4 ] ||
    fail "recovered: the queue file after the second stop is not empty"
if grep -qiE "sanitizer|runtime error|terminate called|Run failed" "$WORK"/*.log; then fail "failure reported"; fi
echo "events sent $SENT, taken in $TOTAL, delivered before the stop $DELIVERED, kept in the file $QUEUED"

# --- 3. Senders waiting to be accepted when the stop comes. While the daemon
# is frozen, senders connect to a Unix and a TCP listener and write into
# connections nobody has accepted yet; the stop reaches the daemon before it
# runs again. Every event they wrote is in the queue file.
N=500
K=20
TPORT=$(free_port)
cat >"$WORK/waiting.conf" <<EOC
message-format dnstap
message-queue-recovery on
message-queue-filename waiting.queue
metrics-interval 3600
listener unix $WORK/wait.sock group=$GROUP listen-backlog=2048
listener ipv4 127.0.0.1 $TPORT listen-backlog=2048
EOC
start waiting "$QX" run "$WORK/waiting.conf"
QPID=$LAST_PID
wait_for 10 unix_listening "$WORK/wait.sock" || fail "waiting: Unix listener missing"
wait_for 10 tcp_listening "$TPORT" || fail "waiting: TCP listener missing"
kill -STOP "$QPID"
load backlog "$WORK/wait.sock" $N $K u "$WORK/u.done" >"$WORK/u.out" 2>&1 &
UNIX_SENDERS=$!
load backlog "127.0.0.1:$TPORT" $N $K t "$WORK/t.done" >"$WORK/t.out" 2>&1 &
TCP_SENDERS=$!
if ! wait_for 60 test -e "$WORK/u.done" -a -e "$WORK/t.done"; then
    kill -CONT "$QPID"
    fail "waiting: the senders did not write within 60 s: $(cat "$WORK/u.out" "$WORK/t.out")"
fi
kill -TERM "$QPID"
kill -CONT "$QPID"
wait_for 30 bash -c "! kill -0 $QPID 2>/dev/null" || fail "waiting: the daemon did not stop within 30 s"
wait $UNIX_SENDERS $TCP_SENDERS || true
[ "$(tail -1 "$WORK/waiting.log")" = "[INFO] Stopped" ] || fail "waiting: last line is not Stopped"
for p in u t; do
    got=$(load check-prefix $p $N "$WORK/waiting.queue") || fail "waiting: '$p' events lost or repeated"
    [ "$got" = $((N * K)) ] || fail "waiting: $got of the $((N * K)) '$p' events written are in the queue file"
done
if grep -E "Process loop failed|Listen error" "$WORK/waiting.log" >/dev/null; then
    fail "waiting: $(grep -E "Process loop failed|Listen error" "$WORK/waiting.log" | head -3)"
fi
echo "waiting senders: $((2 * N)), events written $((2 * N * K)), all in the queue file;" \
    "$(grep -c "Handling connection$" "$WORK/waiting.log") connections served"
echo "PASS"
