#!/usr/bin/env bash
# Many and hostile senders: 1200 senders connect at once to a listener that
# holds 1000 (the default limit): 1000 are held and served, each on a thread
# of its own, and the rest refused at once. Then well-behaved senders share
# two listeners with senders that stop mid-frame, vanish, send garbage, send
# frames over the limit, stay silent before or after the handshake, never
# finish the handshake or break the control sequence. Every well-behaved
# event arrives exactly once, the daemon ends every hostile connection by
# itself, and its thread and descriptor counts return to where they started.
source "$(dirname "$0")/../e2e/lib/common.bash"
need python3
ulimit -n 8192
LOAD="$(dirname "$0")/lib/load.py"
load() { python3 "$LOAD" "$@"; }

start collector python3 "$LOAD" collector "$WORK/collector.port" "$WORK/events"
wait_for 10 test -s "$WORK/collector.port" || fail "collector did not start"
CPORT=$(cat "$WORK/collector.port")

LIMIT=1000
N=1200
cat >"$WORK/stress.conf" <<EOF
message-format dnstap
message-queue-recovery off
metrics-interval 3600
listener unix $WORK/flood.sock group=$GROUP max-connections=$LIMIT listen-backlog=2048
listener unix $WORK/hostile.sock group=$GROUP read-timeout=1 write-timeout=1 keepalive=1 fstrm-data-frame-max-size=1024
forwarder ipv4 127.0.0.1 $CPORT batch-size=50
EOF
start daemon "$QX" run "$WORK/stress.conf"
QPID=$LAST_PID
wait_for 10 unix_listening "$WORK/flood.sock" || fail "flood listener missing"
wait_for 10 unix_listening "$WORK/hostile.sock" || fail "hostile listener missing"
wait_for 10 test -s "$WORK/events.conns" || fail "forwarder did not connect"
# The background logger's thread is the last one started.
wait_for 10 grep "BackgroundLogger: Starting process loop" "$WORK/daemon.log" || fail "daemon did not start"
read -r T0 F0 < <(load procs "$QPID")
echo "start: $T0 threads, $F0 descriptors"

# back_to_start WHAT: waits up to 60 s for the counts to return.
back_to_start() {
    local t f i
    for i in $(seq 120); do
        read -r t f < <(load procs "$QPID")
        if [ "$t" = "$T0" ] && [ "$f" = "$F0" ]; then
            echo "$1: back to $t threads, $f descriptors"
            return 0
        fi
        sleep 0.5
    done
    fail "$1: $t threads and $f descriptors remain, started with $T0 and $F0"
}

events_with() { grep -c "^$1" "$WORK/events" 2>/dev/null || true; }
at_least() { [ "$(events_with "$1")" -ge "$2" ]; }

# --- 1. 1200 senders at once against a limit of 1000.
K=5
load flood "$WORK/flood.sock" $N $LIMIT $K f "$QPID" >"$WORK/flood.out" 2>&1 || { cat "$WORK/flood.out"; fail "flood"; }
cat "$WORK/flood.out"
grep -q "^held $LIMIT refused $((N - LIMIT))$" "$WORK/flood.out" || fail "flood: not exactly $LIMIT held"
grep -q "^while held: $((T0 + LIMIT)) threads $((F0 + LIMIT)) descriptors$" "$WORK/flood.out" ||
    fail "flood: not one thread and one descriptor per held connection"
wait_for 30 at_least f $((LIMIT * K)) || fail "flood: $(events_with f) of $((LIMIT * K)) events"
got=$(load check-prefix f $LIMIT "$WORK/events") || fail "flood: events lost or repeated"
[ "$got" = $((LIMIT * K)) ] || fail "flood: $got events, expected $((LIMIT * K))"
kill -0 "$QPID" || fail "daemon died"
back_to_start flood
grep -q "Listener\[0\]: Receiver\[[0-9]*\] Is finished" "$WORK/daemon.log" || fail "flood: no receiver finished"

# --- 2. Well-behaved senders among hostile ones, on both listeners.
GOOD=40
BAD=30
K=25
load hostile "$WORK/hostile.sock" $GOOD $K h $BAD >"$WORK/hostile.out" 2>&1 &
H1=$!
load hostile "$WORK/flood.sock" $GOOD $K g 0 >"$WORK/hostile2.out" 2>&1 &
H2=$!
wait $H1 || { cat "$WORK/hostile.out"; fail "hostile senders on the hostile listener"; }
# The flood listener keeps the default time-outs (a silent sender would be
# held for 105 s): only well-behaved senders there.
wait $H2 || { cat "$WORK/hostile2.out"; fail "hostile senders on the flood listener"; }
cat "$WORK/hostile.out" "$WORK/hostile2.out"
for p in h g; do
    wait_for 30 at_least $p $((GOOD * K)) || fail "hostile: $(events_with $p) of $((GOOD * K)) '$p' events"
    got=$(load check-prefix $p $GOOD "$WORK/events") || fail "hostile: '$p' events lost or repeated"
    [ "$got" = $((GOOD * K)) ] || fail "hostile: $got '$p' events, expected $((GOOD * K))"
done
kill -0 "$QPID" || fail "daemon died"
grep -q "Data frame length 1048576 is larger than the configured limit 1024" "$WORK/daemon.log" ||
    fail "hostile: no over-limit frame refused"
grep -q "Connection timed out" "$WORK/daemon.log" || fail "hostile: no idle sender timed out"
grep -q "recv() failed: wait() timed out" "$WORK/daemon.log" || fail "hostile: no silent sender timed out"
grep -q "Unexpected control message type 2" "$WORK/daemon.log" || fail "hostile: second START not refused"
back_to_start hostile

# --- 3. Orderly stop.
t0=$(date +%s)
stop_pid "$QPID" || fail "daemon did not stop"
[ $(($(date +%s) - t0)) -le 15 ] || fail "stop took more than 15 s"
[ "$(tail -1 "$WORK/daemon.log")" = "[INFO] Stopped" ] || fail "last line is not Stopped"
if grep -qiE "sanitizer|runtime error|terminate called" "$WORK/daemon.log"; then fail "sanitizer or abort report"; fi
echo "connections held: $LIMIT of $N; hostile senders: $((BAD * 8)); events: $((LIMIT * 5 + 2 * GOOD * K))"
echo "PASS"
