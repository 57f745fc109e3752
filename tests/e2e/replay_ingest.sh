#!/usr/bin/env bash
# fstrm_replay feeds a Unix and a TCP listener; with dnstap output every frame
# reaches fstrm_capture byte for byte, none lost and none twice.
source "$(dirname "$0")/lib/common.bash"
need fstrm_replay fstrm_capture python3
FSTRM_FILE="python3 $(dirname "$0")/lib/fstrm_file.py"

$FSTRM_FILE write "$WORK/a.fstrm" 2000 300 1
$FSTRM_FILE write "$WORK/b.fstrm" 2000 300 2

CPORT=$(free_port)
LPORT=$(free_port)
start capture fstrm_capture -t protobuf:dnstap.Dnstap -a 127.0.0.1 -p "$CPORT" -w "$WORK/out.fstrm"
CAPTURE_PID=$LAST_PID
wait_for 10 tcp_listening "$CPORT" || fail "fstrm_capture not listening"

cat >"$WORK/q.conf" <<CONF
message-format dnstap
message-queue-recovery off
metrics-interval 1
listener unix $WORK/in.sock group=$GROUP
listener ipv4 127.0.0.1 $LPORT
forwarder ipv4 127.0.0.1 $CPORT batch-size=64
CONF
start daemon "$QX" run "$WORK/q.conf"
QPID=$LAST_PID
wait_for 10 unix_listening "$WORK/in.sock" || fail "Unix listener missing"
wait_for 10 tcp_listening "$LPORT" || fail "TCP listener missing"

fstrm_replay -t protobuf:dnstap.Dnstap -r "$WORK/a.fstrm" -u "$WORK/in.sock" >"$WORK/replay-a.log" 2>&1 || fail "replay over Unix"
fstrm_replay -t protobuf:dnstap.Dnstap -r "$WORK/b.fstrm" -a 127.0.0.1 -p "$LPORT" >"$WORK/replay-b.log" 2>&1 || fail "replay over TCP"

wait_drained "$WORK/daemon.log" 30 2 || fail "frames not all forwarded"
stop_pid "$QPID" || fail "daemon did not stop"
wait_for 10 tcp_served "$CPORT" || fail "fstrm_capture did not read to the end"
stop_pid "$CAPTURE_PID" || fail "fstrm_capture did not stop"

$FSTRM_FILE frames "$WORK/a.fstrm" >"$WORK/sent"
$FSTRM_FILE frames "$WORK/b.fstrm" >>"$WORK/sent"
$FSTRM_FILE frames "$WORK/out.fstrm" >"$WORK/got"
sort "$WORK/sent" >"$WORK/sent.sorted"
sort "$WORK/got" >"$WORK/got.sorted"
[ "$(wc -l <"$WORK/got")" = 4000 ] || fail "$(wc -l <"$WORK/got") frames captured, 4000 sent"
cmp -s "$WORK/sent.sorted" "$WORK/got.sorted" || fail "captured frames differ from those sent"
# Each sender's frames keep their order.
$FSTRM_FILE frames "$WORK/a.fstrm" >"$WORK/a.sent"
grep -xFf "$WORK/a.sent" "$WORK/got" | cmp -s - "$WORK/a.sent" || fail "order of the Unix sender's frames"
echo "replay_ingest: ok"
