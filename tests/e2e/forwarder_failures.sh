#!/usr/bin/env bash
# Forwarder failures against real collectors: a collector that is down at
# start (one error, a 10-second pause, then delivery), a collector that resets
# or closes its connection mid-stream under each recovery mode (the events
# returned and lost counted), and two forwarders sharing one queue.
source "$(dirname "$0")/lib/common.bash"
source "$(dirname "$0")/lib/unbound.bash"
source "$(dirname "$0")/lib/capture.bash"
need socat fstrm_replay python3 unbound

make_capture "$WORK/in.fstrm" $(names r 60)
N=$CAPTURE_FRAMES
NA=$((N / 2))
frames split "$WORK/in.fstrm" "$WORK/a.fstrm" "$WORK/b.fstrm" "$NA" || fail "split"
NB=$((N - NA))
B=5 # batch size of the reset cases

# run_daemon NAME FORWARDER...: one Unix listener, JSON, one forwarder per argument.
run_daemon() {
    local name=$1 f; shift
    rm -f "$WORK/$name.sock"
    {
        printf 'message-format json\nmessage-hostname e2e-host\nmessage-queue-recovery off\nmetrics-interval 1\n'
        printf 'listener unix %s group=%s\n' "$WORK/$name.sock" "$GROUP"
        for f in "$@"; do printf 'forwarder %s\n' "$f"; done
    } >"$WORK/$name.conf"
    start "$name" "$QX" run "$WORK/$name.conf"
    QPID=$LAST_PID
    wait_for 10 unix_listening "$WORK/$name.sock" || fail "$name: listener socket missing"
}

finish() {
    stop_pid "$QPID" || fail "$1: daemon did not stop"
    [ "$(tail -1 "$WORK/$1.log")" = "[INFO] Stopped" ] || fail "$1: last line is not Stopped"
    if grep -q "Process loop failed" "$WORK/$1.log"; then fail "$1: a worker failed"; fi
}

receivers_done() { [ "$(grep -c "Listener\[0\]: Receiver\[[0-9]*\] Is finished" "$WORK/$1.log")" -ge "$2" ]; }

# idle NAME: two metrics reports after the last end of a sender, connection
# error or return to the queue show an empty queue: the daemon has sent, or
# is sending, all it will send.
idle() { drained "$WORK/$1.log" 1 "Is finished|Connection error|back to the event queue"; }

# --- 1. Collector down at start: one error, a pause of about 10 s, then all events.
PORT=$(free_port)
run_daemon down "ipv4 127.0.0.1 $PORT batch-size=10"
wait_for 10 grep -qF "[ERROR] Forwarder[0]: Connection error: " "$WORK/down.log" || fail "down: no connection error"
t_err=$(date +%s.%N)
replay "$WORK/in.fstrm" "$WORK/down.sock"
start collector-down socat -u TCP-LISTEN:$PORT,bind=127.0.0.1,reuseaddr,fork OPEN:$WORK/down.lines,creat,append
DOWN_COLLECTOR=$LAST_PID
wait_for 10 tcp_listening "$PORT" || fail "down: collector not listening"
wait_for 16 has_lines "$WORK/down.lines" 1 || fail "down: nothing delivered after the pause"
t_first=$(date +%s.%N)
waited=$(python3 -c "print(int(($t_first - $t_err) * 10))")
[ "$waited" -ge 85 ] || fail "down: delivered $((waited / 10)).$((waited % 10)) s after the error, before the pause ended"
[ "$waited" -le 200 ] || fail "down: delivered only $((waited / 10)).$((waited % 10)) s after the error"
wait_for 10 has_lines "$WORK/down.lines" "$N" || fail "down: $(count_lines "$WORK/down.lines") of $N lines"
finish down
wait_for 10 tcp_served "$PORT" || fail "down: the collector did not read to the end"
[ "$(grep -c "Connection error" "$WORK/down.log")" = 1 ] || fail "down: more than one connection error"
grep -qF "[INFO] Socket[0]: Connected to 127.0.0.1:$PORT" "$WORK/down.log" || fail "down: no connected line"
[ "$(count_lines "$WORK/down.lines")" = "$N" ] || fail "down: $(count_lines "$WORK/down.lines") lines, expected $N"
[ "$(sort -u "$WORK/down.lines" | wc -l)" = "$N" ] || fail "down: repeated lines"
stop_pid "$DOWN_COLLECTOR"

# --- 2. Collector closes mid-stream: the first half of the capture is
# delivered, the collector drops the connection (reset or graceful close),
# then the second half follows.
# reset_case MODE HOW: sets MISSING, DUPS, LOST_FROM_A (duplicates not from the first half).
reset_case() {
    local mode=$1 how=$2 name="reset-$1-$2"
    local lines="$WORK/$name.lines"
    start "coll-$name" python3 "$FRAMES" collector "$WORK/$name.port" "$lines"
    local cpid=$LAST_PID
    wait_for 10 test -s "$WORK/$name.port" || fail "$name: collector port"
    local port
    port=$(cat "$WORK/$name.port")
    run_daemon "$name" "ipv4 127.0.0.1 $port batch-size=$B recovery=$mode"
    replay "$WORK/a.fstrm" "$WORK/$name.sock"
    wait_for 10 has_lines "$lines" "$NA" || fail "$name: first half: $(count_lines "$lines") of $NA lines"
    sleep 0.3
    echo "$how" >"$lines.reset"
    wait_for 5 test ! -e "$lines.reset" || fail "$name: collector did not close"
    replay "$WORK/b.fstrm" "$WORK/$name.sock"
    wait_for 10 receivers_done "$name" 2 || fail "$name: second replay not received"
    # The reconnection comes at once: well before the 10-second pause.
    wait_for 6 has_lines "$lines" $((N - 2 * B)) || fail "$name: $(count_lines "$lines") lines, expected about $N"
    wait_for 15 idle "$name" || fail "$name: events still queued"
    finish "$name"
    wait_for 10 tcp_served "$port" || fail "$name: the collector did not read to the end"
    stop_pid "$cpid"
    grep -qF "[ERROR] Forwarder[0]: Connection error: " "$WORK/$name.log" || fail "$name: no connection error"
    [ "$(grep -c "Connection error" "$WORK/$name.log")" = 1 ] || fail "$name: more than one connection error"
    [ "$(cat "$lines.conns")" = 2 ] || fail "$name: $(cat "$lines.conns") connections, expected 2"
    if grep -vqE '^\{.*\}$' "$lines"; then fail "$name: partial line"; fi
    local total distinct
    total=$(count_lines "$lines")
    distinct=$(sort -u "$lines" | wc -l)
    MISSING=$((N - distinct))
    DUPS=$((total - distinct))
    # Repeated lines must come from the first half (the batch sent just before the error).
    LOST_FROM_A=$(sort "$lines" | uniq -d | grep -cvxFf <(head -n "$NA" "$lines") || true)
    RETURN_PREV=$(sed -n 's/.*Forwarder\[0\]: Returning \([0-9]*\) previous events back to the event queue$/\1/p' "$WORK/$name.log")
    RETURN_CUR=$(sed -n 's/.*Forwarder\[0\]: Returning \([0-9]*\) current events back to the event queue$/\1/p' "$WORK/$name.log")
    echo "$name: $total lines, $MISSING missing, $DUPS repeated, returned previous='$RETURN_PREV' current='$RETURN_CUR'"
}

reset_case drop rst
[ "$DUPS" = 0 ] || fail "drop: $DUPS events delivered twice"
[ "$MISSING" -ge 1 ] && [ "$MISSING" -le "$B" ] || fail "drop: $MISSING events lost, expected the one unsent batch (1 to $B)"
[ -z "$RETURN_PREV$RETURN_CUR" ] || fail "drop: events were returned to the queue"

reset_case best-effort rst
[ "$MISSING" = 0 ] || fail "best-effort: $MISSING events lost"
[ "$DUPS" = 0 ] || fail "best-effort: $DUPS events delivered twice"
[ -z "$RETURN_PREV" ] || fail "best-effort: previous events returned"
[ -n "$RETURN_CUR" ] && [ "$RETURN_CUR" -ge 1 ] && [ "$RETURN_CUR" -le "$B" ] || fail "best-effort: current events line '$RETURN_CUR'"

reset_case durable rst
[ "$MISSING" = 0 ] || fail "durable: $MISSING events lost"
[ "$DUPS" -ge 1 ] && [ "$DUPS" -le "$B" ] || fail "durable: $DUPS events delivered twice, expected the batch sent last (1 to $B)"
[ "$LOST_FROM_A" = 0 ] || fail "durable: repeated events that were not in the batch sent before the error"
[ "$RETURN_PREV" = "$DUPS" ] || fail "durable: previous events line '$RETURN_PREV', $DUPS repeated"
[ -n "$RETURN_CUR" ] && [ "$RETURN_CUR" -ge 1 ] && [ "$RETURN_CUR" -le "$B" ] || fail "durable: current events line '$RETURN_CUR'"
prev_line=$(grep -n "previous events back" "$WORK/reset-durable-rst.log" | cut -d: -f1)
cur_line=$(grep -n "current events back" "$WORK/reset-durable-rst.log" | cut -d: -f1)
[ "$prev_line" -lt "$cur_line" ] || fail "durable: current events returned before the previous ones"

# A graceful close: the first send after it still succeeds locally and is
# lost with the connection; durable returns that batch too.
reset_case durable fin
[ "$MISSING" = 0 ] || fail "durable after a close: $MISSING events lost, expected every event at least once"

reset_case best-effort fin
[ "$MISSING" -le "$B" ] || fail "best-effort after a close: $MISSING events lost, more than one batch"
[ "$DUPS" = 0 ] || fail "best-effort after a close: $DUPS events delivered twice"

# --- 3. Two forwarders compete for one queue: every event exactly once overall.
P1=$(free_port)
start collector-c1 socat -u TCP-LISTEN:$P1,bind=127.0.0.1,reuseaddr,fork OPEN:$WORK/c1.lines,creat,append
C1=$LAST_PID
P2=$(free_port)
while [ "$P2" = "$P1" ]; do P2=$(free_port); done
start collector-c2 socat -u TCP-LISTEN:$P2,bind=127.0.0.1,reuseaddr,fork OPEN:$WORK/c2.lines,creat,append
C2=$LAST_PID
wait_for 10 tcp_listening "$P1" || fail "collector 1 not listening"
wait_for 10 tcp_listening "$P2" || fail "collector 2 not listening"
touch "$WORK/c1.lines" "$WORK/c2.lines"
run_daemon two "ipv4 127.0.0.1 $P1 batch-size=2" "ipv4 127.0.0.1 $P2 batch-size=3"
for _ in 1 2 3; do replay "$WORK/in.fstrm" "$WORK/two.sock"; done
both() { [ $(($(count_lines "$WORK/c1.lines") + $(count_lines "$WORK/c2.lines"))) -ge $((3 * N)) ]; }
wait_for 15 both || fail "two: $(count_lines "$WORK/c1.lines") + $(count_lines "$WORK/c2.lines") of $((3 * N)) lines"
finish two
wait_for 10 tcp_served "$P1" || fail "two: collector 1 did not read to the end"
wait_for 10 tcp_served "$P2" || fail "two: collector 2 did not read to the end"
stop_pid "$C1"
stop_pid "$C2"
n1=$(count_lines "$WORK/c1.lines")
n2=$(count_lines "$WORK/c2.lines")
[ $((n1 + n2)) = $((3 * N)) ] || fail "two: $n1 + $n2 lines, expected $((3 * N))"
# Each replay repeats the events, so count every line three times.
bad=$(cat "$WORK/c1.lines" "$WORK/c2.lines" | sort | uniq -c | awk '$1 != 3' | wc -l)
[ "$bad" = 0 ] || fail "two: $bad events not delivered exactly once per replay"
[ "$(cat "$WORK/c1.lines" "$WORK/c2.lines" | sort -u | wc -l)" = "$N" ] || fail "two: distinct events"
grep -q "Forwarder\[1\]: Configured target is 127.0.0.1:$P2" "$WORK/two.log" || fail "two: second forwarder"
echo "forwarder_failures: ok ($N events; two forwarders took $n1 and $n2)"
