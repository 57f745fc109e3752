#!/usr/bin/env bash
# run-stdout: the forwarders write to standard output instead of connecting:
# JSON lines as they are, dnstap as one upper-case hex line per batch; log
# lines never cut an output line, and no queue file is written.
source "$(dirname "$0")/lib/common.bash"
source "$(dirname "$0")/lib/unbound.bash"
source "$(dirname "$0")/lib/capture.bash"
need fstrm_replay python3 unbound

make_capture "$WORK/in.fstrm" $(names s 30)
N=$CAPTURE_FRAMES
# Nothing listens here: a connection attempt would show as an error.
CLOSED=$(free_port)

# run_stdout NAME FORMAT FORWARDER-OPTIONS COMPLETE: replays the capture and
# stops once "COMPLETE FILE" finds every event in standard output (nothing
# is kept at the stop in this mode); standard output in NAME.out, standard
# error in NAME.err.
run_stdout() {
    local name=$1 format=$2 options=$3 complete=$4 rc=0
    mkdir -p "$WORK/$name"
    cat >"$WORK/$name/q.conf" <<CONF
message-format $format
message-hostname e2e-host
message-queue-recovery on
metrics-interval 3600
listener unix $WORK/$name.sock group=$GROUP
forwarder ipv4 127.0.0.1 $CLOSED $options
CONF
    "$QX" run-stdout "$WORK/$name/q.conf" >"$WORK/$name.out" 2>"$WORK/$name.err" &
    local pid=$!
    PIDS+=($pid)
    wait_for 10 unix_listening "$WORK/$name.sock" || fail "$name: listener socket missing"
    replay "$WORK/in.fstrm" "$WORK/$name.sock"
    wait_for 10 grep -q "Listener\[0\]: Receiver\[0\] Is finished" "$WORK/$name.out" || fail "$name: replay not received"
    wait_for 30 "$complete" "$WORK/$name.out" || fail "$name: not every event written"
    kill -TERM "$pid"
    for _ in $(seq 150); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$pid" 2>/dev/null && fail "$name: daemon did not stop"
    wait "$pid" || rc=$?
    [ "$rc" = 0 ] || fail "$name: exit status $rc"
    [ "$(tail -1 "$WORK/$name.out")" = "[INFO] Stopped" ] || fail "$name: last line is not Stopped"
    if grep -qE "Connection error|Connected to|Process loop failed" "$WORK/$name.out" "$WORK/$name.err"; then
        fail "$name: the forwarder tried the network or failed"
    fi
    grep -qE "forwarder\[id=0 .*connects=0 " "$WORK/$name.out" || fail "$name: connects not 0 in the metrics"
    grep -qE "forwarder\[id=0 .*eventsSent=$N " "$WORK/$name.out" || fail "$name: eventsSent not $N in the metrics"
    [ ! -e "$WORK/$name/message.queue" ] || fail "$name: queue file written"
    [ ! -s "$WORK/$name.err" ] || fail "$name: standard error: $(head -3 "$WORK/$name.err")"
}

# --- JSON: one line per event, each whole, every other line a log line.
# lines_of PATTERN FILE: FILE holds N lines matching PATTERN.
lines_of() { [ "$(grep -c "$1" "$2")" -ge "$N" ]; }
json_complete() { lines_of '^{' "$1"; }
querylog_complete() { lines_of '^<30>1 ' "$1"; }
hex_complete() { frames same-hex "$1" "$WORK/in.fstrm"; }

run_stdout json json "batch-size=7" json_complete
[ "$(grep -c '^{' "$WORK/json.out")" = "$N" ] || fail "json: $(grep -c '^{' "$WORK/json.out") event lines, expected $N"
[ "$(grep '^{' "$WORK/json.out" | sort -u | wc -l)" = "$N" ] || fail "json: repeated lines"
if grep -vqE '^(\{"timestamp":"[^"]*","host":"e2e-host","schema":1,"type":"client-(query|response)",.*\}|\[(INFO|WARN)\] .*)$' \
    "$WORK/json.out"; then
    fail "json: mixed or malformed line: $(grep -vE '^(\{.*\}|\[(INFO|WARN)\] .*)$' "$WORK/json.out" | head -1)"
fi
grep '^{' "$WORK/json.out" | grep -F '"qname":"s30.example.test."' | grep -F '"rcode":"NXDOMAIN"' >/dev/null || fail "json: s30 response"

# --- query-log lines go out the same way.
run_stdout querylog querylog "" querylog_complete
[ "$(grep -c '^<30>1 ' "$WORK/querylog.out")" = "$N" ] || fail "querylog: $(grep -c '^<30>1 ' "$WORK/querylog.out") lines"

# --- dnstap: batch size 1 gives one hex line per frame.
run_stdout hex1 dnstap "batch-size=1" hex_complete
lines=$(frames same-hex "$WORK/hex1.out" "$WORK/in.fstrm") || fail "hex1: frames differ from the input"
[ "$lines" = "$N" ] || fail "hex1: $lines hex lines, expected one per event ($N)"

# --- dnstap with larger batches: fewer lines, the same frames in order.
run_stdout hex50 dnstap "batch-size=50" hex_complete
lines=$(frames same-hex "$WORK/hex50.out" "$WORK/in.fstrm") || fail "hex50: frames differ from the input"
[ "$lines" -ge $(((N + 49) / 50)) ] && [ "$lines" -le "$N" ] || fail "hex50: $lines hex lines for $N events"

echo "run_stdout: ok ($N events; $lines hex lines with batches of 50)"
