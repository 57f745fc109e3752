#!/usr/bin/env bash
# dnstap output: what unbound sends reaches fstrm_capture unchanged, frame by
# frame, in order.
source "$(dirname "$0")/lib/common.bash"
source "$(dirname "$0")/lib/unbound.bash"
need fstrm_capture fstrm_dump unbound

CPORT=$(free_port)
start capture fstrm_capture -t protobuf:dnstap.Dnstap -a 127.0.0.1 -p "$CPORT" -w "$WORK/out.fstrm"
CAPTURE_PID=$LAST_PID
wait_for 10 tcp_listening "$CPORT" || fail "fstrm_capture not listening"

# A second daemon captures what unbound sends, as the reference.
cat >"$WORK/q.conf" <<CONF
message-format dnstap
message-queue-recovery off
metrics-interval 1
listener unix $WORK/dnstap.sock group=$GROUP
forwarder ipv4 127.0.0.1 $CPORT fstrm-mode=bidirectional batch-size=10
CONF
start daemon "$QX" run "$WORK/q.conf"
QPID=$LAST_PID
wait_for 10 unix_listening "$WORK/dnstap.sock" || fail "listener socket missing"

start_unbound "$WORK/dnstap.sock"
for i in $(seq 20); do query_unbound www.example.test A || true; done
# unbound writes its events about a second later and drops what it still
# holds when it stops: it stops once the daemon has sent them on (metrics
# reports count what was sent since the one before).
forwarded() {
    awk -v n="$1" 'match($0, /forwarder\[id=0 .* eventsSent=[0-9]+/) {
        s = substr($0, RSTART, RLENGTH); sub(/.*eventsSent=/, "", s); total += s } END { exit !(total >= n) }' "$WORK/daemon.log"
}
wait_for 20 forwarded 42 || true
stop_pid "$UNBOUND_PID" || fail "unbound did not stop"
wait_drained "$WORK/daemon.log" 20 || fail "frames not all forwarded"
stop_pid "$QPID" || fail "daemon did not stop"
wait_for 10 tcp_served "$CPORT" || fail "fstrm_capture did not read to the end"
stop_pid "$CAPTURE_PID" || fail "fstrm_capture did not stop"

fstrm_dump "$WORK/out.fstrm" >"$WORK/dump.txt" 2>&1 || fail "fstrm_dump"
frames=$(grep -c "Data frame" "$WORK/dump.txt" || true)
# 1 probe query from start-up plus 20: a query and a response each.
[ "$frames" -ge 42 ] || fail "only $frames frames captured"
grep -q "protobuf:dnstap.Dnstap" "$WORK/dump.txt" || fail "content type"
if command -v dnstap-ldns >/dev/null 2>&1; then
    dnstap-ldns -q -r "$WORK/out.fstrm" >"$WORK/ldns.txt" 2>&1 || fail "dnstap-ldns could not read the capture"
    [ "$(grep -c 'www.example.test' "$WORK/ldns.txt")" -ge 42 ] || fail "decoded frames: $(head "$WORK/ldns.txt")"
fi
echo "unbound_dnstap: ok ($frames frames)"
