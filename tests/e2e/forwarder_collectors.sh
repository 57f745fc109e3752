#!/usr/bin/env bash
# A capture replayed into a Unix listener reaches real collectors: JSON and
# both query-log forms over plain TCP, JSON over TLS (openssl s_server with a
# validated certificate), and dnstap frames into fstrm_capture, frame by frame.
source "$(dirname "$0")/lib/common.bash"
source "$(dirname "$0")/lib/unbound.bash"
source "$(dirname "$0")/lib/capture.bash"
need socat openssl fstrm_capture fstrm_replay fstrm_dump python3 unbound

make_capture "$WORK/in.fstrm" $(names n 40)
N=$CAPTURE_FRAMES

# run_daemon NAME FORMAT-LINES FORWARDER: writes NAME.conf and starts the
# daemon with one Unix listener; sets QPID.
run_daemon() {
    local name=$1 format=$2 forwarder=$3
    rm -f "$WORK/$name.sock"
    cat >"$WORK/$name.conf" <<CONF
$format
message-hostname e2e-host
message-queue-recovery off
metrics-interval 1
listener unix $WORK/$name.sock group=$GROUP
forwarder $forwarder
CONF
    start "$name" "$QX" run "$WORK/$name.conf"
    QPID=$LAST_PID
    wait_for 10 unix_listening "$WORK/$name.sock" || fail "$name: listener socket missing"
}

# finish NAME: stops the daemon and checks the orderly end.
finish() {
    stop_pid "$QPID" || fail "$1: daemon did not stop"
    [ "$(tail -1 "$WORK/$1.log")" = "[INFO] Stopped" ] || fail "$1: last line is not Stopped"
    if grep -q "Process loop failed" "$WORK/$1.log"; then fail "$1: a worker failed"; fi
}

start_line_collector() {
    CPORT=$(free_port)
    start "collector-$1" socat -u TCP-LISTEN:$CPORT,bind=127.0.0.1,reuseaddr,fork OPEN:$WORK/$1.lines,creat,append
    COLLECTOR_PID=$LAST_PID
    wait_for 10 tcp_listening "$CPORT" || fail "collector $1 not listening"
}

# --- JSON over plain TCP
start_line_collector json
run_daemon json "message-format json" "ipv4 127.0.0.1 $CPORT batch-size=16"
# The forwarder's thread may log after the listener is up.
wait_for 10 grep -F "[INFO] Forwarder[0]: Configured target is 127.0.0.1:$CPORT" "$WORK/json.log" || fail "target line"
replay "$WORK/in.fstrm" "$WORK/json.sock"
wait_for 15 has_lines "$WORK/json.lines" "$N" || fail "json: $(count_lines "$WORK/json.lines") of $N lines"
finish json
[ "$(count_lines "$WORK/json.lines")" = "$N" ] || fail "json: $(count_lines "$WORK/json.lines") lines, expected $N"
[ "$(sort -u "$WORK/json.lines" | wc -l)" = "$N" ] || fail "json: repeated lines"
json_head='^\{"timestamp":"[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{6}Z","host":"e2e-host","schema":1,'
json_head+='"type":"client-(query|response)","data":\{"client":"127\.0\.0\.1","server":"127\.0\.0\.1","port":[0-9]+,"proto":"UDP",'
bad=$(grep -cvE "$json_head.*\}\}$" "$WORK/json.lines" || true)
[ "$bad" = 0 ] || fail "json: $bad malformed lines, e.g. $(grep -vE "$json_head" "$WORK/json.lines" | head -1)"
for i in 1 17 40; do
    grep -F '"type":"client-query"' "$WORK/json.lines" | grep -F "\"qname\":\"n$i.example.test.\"" >/dev/null || fail "json: query n$i"
    grep -F '"type":"client-response"' "$WORK/json.lines" | grep -F "\"qname\":\"n$i.example.test.\"" |
        grep -F '"rcode":"NXDOMAIN"' >/dev/null || fail "json: response n$i"
done
grep -F '"qtype":"AAAA"' "$WORK/json.lines" | grep -F '"data":"2001:db8::10"' >/dev/null || fail "json: AAAA data"
stop_pid "$COLLECTOR_PID"

# --- The largest batch size: memory grows with the events taken, not with
# the setting, and every event still arrives.
start_line_collector bigbatch
run_daemon bigbatch "message-format json
message-queue-size 1048576" "ipv4 127.0.0.1 $CPORT batch-size=4294967295"
rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$QPID/status")
[ "${rss:-0}" -lt 262144 ] || fail "bigbatch: resident set of $rss kB at start"
replay "$WORK/in.fstrm" "$WORK/bigbatch.sock"
wait_for 15 has_lines "$WORK/bigbatch.lines" "$N" || fail "bigbatch: $(count_lines "$WORK/bigbatch.lines") of $N lines"
finish bigbatch
cmp -s <(sort "$WORK/bigbatch.lines") <(sort "$WORK/json.lines") || fail "bigbatch: lines differ from batch-size=16"
stop_pid "$COLLECTOR_PID"

# --- RFC 5424 query-log lines, standard style
start_line_collector q5424
run_daemon q5424 "message-format querylog" "ipv4 127.0.0.1 $CPORT batch-size=1"
replay "$WORK/in.fstrm" "$WORK/q5424.sock"
wait_for 15 has_lines "$WORK/q5424.lines" "$N" || fail "q5424: $(count_lines "$WORK/q5424.lines") of $N lines"
finish q5424
[ "$(count_lines "$WORK/q5424.lines")" = "$N" ] || fail "q5424: line count"
h5424="^<30>1 [0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{6}Z e2e-host quorvalex $QPID - - queries: client 127\.0\.0\.1#[0-9]+: "
bad=$(grep -cvE "$h5424(query|response): " "$WORK/q5424.lines" || true)
[ "$bad" = 0 ] || fail "q5424: $bad malformed lines, e.g. $(grep -vE "$h5424" "$WORK/q5424.lines" | head -1)"
grep -qE "${h5424}query: www\.example\.test\. IN AAAA \+ \(127\.0\.0\.1\)$" "$WORK/q5424.lines" || fail "q5424: AAAA query line"
grep -qE "${h5424}response: www\.example\.test\. IN AAAA \+ \(127\.0\.0\.1\) NOERROR; www\.example\.test\. 300 IN AAAA 2001:db8::10$" \
    "$WORK/q5424.lines" || fail "q5424: AAAA response line"
grep -qE "${h5424}response: n7\.example\.test\. IN A \+ \(127\.0\.0\.1\) NXDOMAIN$" "$WORK/q5424.lines" || fail "q5424: NXDOMAIN line"
grep -qE "${h5424}response: txt\.example\.test\. IN TXT \+ \(127\.0\.0\.1\) NOERROR; txt\.example\.test\. 300 IN TXT \"hello world\"$" \
    "$WORK/q5424.lines" || fail "q5424: TXT response line"
stop_pid "$COLLECTOR_PID"

# --- RFC 3164 query-log lines, extended style, own priority
start_line_collector q3164
run_daemon q3164 "message-format querylog
message-syslog-format rfc3164
message-syslog-priority 13
message-querylog-format extended" "ipv4 127.0.0.1 $CPORT"
replay "$WORK/in.fstrm" "$WORK/q3164.sock"
wait_for 15 has_lines "$WORK/q3164.lines" "$N" || fail "q3164: $(count_lines "$WORK/q3164.lines") of $N lines"
finish q3164
[ "$(count_lines "$WORK/q3164.lines")" = "$N" ] || fail "q3164: line count"
h3164="^<13>(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 1-3][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} e2e-host quorvalex\[$QPID\]: queries: client 127\.0\.0\.1#[0-9]+ %[0-9]+: "
bad=$(grep -cvE "$h3164(query|response): " "$WORK/q3164.lines" || true)
[ "$bad" = 0 ] || fail "q3164: $bad malformed lines, e.g. $(grep -vE "$h3164" "$WORK/q3164.lines" | head -1)"
grep -qE "${h3164}query: mail\.example\.test\. \[[^]]*\] IN A \+ \(127\.0\.0\.1 [0-9]+b\)$" "$WORK/q3164.lines" \
    || fail "q3164: extended query line: $(grep -F mail.example "$WORK/q3164.lines" | head -1)"
grep -qE "${h3164}response: mail\.example\.test\. \[[^]]*\] IN A \+ \(127\.0\.0\.1 [0-9]+b\) NOERROR; mail\.example\.test\. \[[^]]*\] 300 IN A 192\.0\.2\.25$" \
    "$WORK/q3164.lines" || fail "q3164: extended response line"
stop_pid "$COLLECTOR_PID"

# --- JSON over TLS to openssl s_server
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost \
    -addext "subjectAltName=IP:127.0.0.1,DNS:localhost" -keyout "$WORK/key.pem" -out "$WORK/cert.pem" >/dev/null 2>&1 ||
    fail "openssl req"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=other \
    -addext "subjectAltName=IP:127.0.0.1" -keyout "$WORK/okey.pem" -out "$WORK/other.pem" >/dev/null 2>&1 ||
    fail "openssl req (other)"
TPORT=$(free_port)
mkfifo "$WORK/tls.in"
exec 5<>"$WORK/tls.in" # s_server ends when its input closes: keep it open
openssl s_server -accept "$TPORT" -quiet -cert "$WORK/cert.pem" -key "$WORK/key.pem" \
    <"$WORK/tls.in" >"$WORK/tls.lines" 2>"$WORK/s_server.log" &
TLS_PID=$!
PIDS+=($TLS_PID)
wait_for 10 tcp_listening "$TPORT" || fail "s_server not listening"

# A certificate that the configured CA did not sign: refused, and a stop
# during the reconnection pause ends the run at once.
run_daemon tlsbad "message-format json" "ipv4 127.0.0.1 $TPORT tls=on tls-validate-ca-file=$WORK/other.pem"
wait_for 10 grep -qF "[ERROR] Forwarder[0]: Connection error: " "$WORK/tlsbad.log" || fail "tlsbad: no connection error"
replay "$WORK/in.fstrm" "$WORK/tlsbad.sock"
t0=$(date +%s)
finish tlsbad
[ $(($(date +%s) - t0)) -le 5 ] || fail "tlsbad: the stop waited for the reconnection pause"
[ ! -s "$WORK/tls.lines" ] || fail "tlsbad: data reached a collector that was not validated"

run_daemon tls "message-format json" "ipv4 127.0.0.1 $TPORT tls=on tls-validate-ca-file=$WORK/cert.pem batch-size=25"
replay "$WORK/in.fstrm" "$WORK/tls.sock"
wait_for 15 has_lines "$WORK/tls.lines" "$N" || fail "tls: $(count_lines "$WORK/tls.lines") of $N lines"
finish tls
if grep -q "Connection error" "$WORK/tls.log"; then fail "tls: connection error"; fi
[ "$(count_lines "$WORK/tls.lines")" = "$N" ] || fail "tls: line count"
# The same events in the same settings: the same lines as over plain TCP.
cmp -s <(sort "$WORK/tls.lines") <(sort "$WORK/json.lines") || fail "tls: lines differ from the plain TCP ones"
stop_pid "$TLS_PID"
exec 5>&-

# --- dnstap frames into fstrm_capture
DPORT=$(free_port)
start fcapture fstrm_capture -t protobuf:dnstap.Dnstap -a 127.0.0.1 -p "$DPORT" -w "$WORK/out.fstrm"
FCAP_PID=$LAST_PID
wait_for 10 tcp_listening "$DPORT" || fail "fstrm_capture not listening"
run_daemon dnstap "message-format dnstap" "ipv4 127.0.0.1 $DPORT batch-size=10"
replay "$WORK/in.fstrm" "$WORK/dnstap.sock"
wait_drained "$WORK/dnstap.log" 20 || fail "dnstap: replay not finished or queue not drained"
finish dnstap
wait_for 10 tcp_served "$DPORT" || fail "dnstap: fstrm_capture did not read to the end"
stop_pid "$FCAP_PID" || fail "fstrm_capture did not stop"
fstrm_dump "$WORK/out.fstrm" >"$WORK/dump.txt" 2>&1 || fail "fstrm_dump"
[ "$(grep -c "^Data frame" "$WORK/dump.txt")" = "$N" ] || fail "dnstap: $(grep -c "^Data frame" "$WORK/dump.txt") of $N frames"
grep -q "protobuf:dnstap.Dnstap" "$WORK/dump.txt" || fail "dnstap: content type"
frames same-fstrm "$WORK/in.fstrm" "$WORK/out.fstrm" || fail "dnstap: frames differ from the input"

echo "forwarder_collectors: ok ($N events per collector)"
