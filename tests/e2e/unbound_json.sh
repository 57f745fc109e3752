#!/usr/bin/env bash
# unbound logs client queries and responses by dnstap into a Unix listener;
# a forwarder delivers JSON lines to a TCP collector, and each query shows up
# with its name, type, client address and registered domain.
source "$(dirname "$0")/lib/common.bash"
source "$(dirname "$0")/lib/unbound.bash"
need socat unbound

CPORT=$(free_port)
start collector socat -u TCP-LISTEN:$CPORT,bind=127.0.0.1,reuseaddr,fork OPEN:$WORK/lines,creat,append
wait_for 10 tcp_listening "$CPORT" || fail "collector not listening"

cat >"$WORK/q.conf" <<CONF
message-format json
message-hostname e2e-host
message-queue-recovery off
domain-suffix example.test
metrics-interval 3600
listener unix $WORK/dnstap.sock group=$GROUP mode=0660
forwarder ipv4 127.0.0.1 $CPORT batch-size=1
CONF
start daemon "$QX" run "$WORK/q.conf"
QPID=$LAST_PID
wait_for 10 unix_listening "$WORK/dnstap.sock" || fail "listener socket missing"
[ "$(stat -c %a "$WORK/dnstap.sock")" = 660 ] || fail "socket mode"

start_unbound "$WORK/dnstap.sock"
for name in www.example.test mail.example.test txt.example.test; do
    query_unbound "$name" A || true
done
query_unbound www.example.test AAAA || true
query_unbound txt.example.test TXT || true

has_query() {
    grep -F '"type":"client-query"' "$WORK/lines" | grep -F "\"qname\":\"$1.\"" | grep -F "\"qtype\":\"$2\"" |
        grep -F '"client":"127.0.0.1"' | grep -F '"qdomain":"example.test."' >/dev/null
}
has_response() {
    grep -F '"type":"client-response"' "$WORK/lines" | grep -F "\"qname\":\"$1.\"" | grep -F "\"qtype\":\"$2\"" |
        grep -F "\"rcode\":\"NOERROR\"" >/dev/null
}
wait_for 20 has_response txt.example.test TXT || fail "responses not delivered: $(head -c 2000 "$WORK/lines")"
for q in "www.example.test A" "mail.example.test A" "txt.example.test A" "www.example.test AAAA" "txt.example.test TXT"; do
    # shellcheck disable=SC2086
    has_query $q || fail "query $q missing"
    # shellcheck disable=SC2086
    has_response $q || fail "response $q missing"
done
grep -F '"qname":"www.example.test."' "$WORK/lines" | grep -F '"qtype":"AAAA"' | grep -F '"data":"2001:db8::10"' >/dev/null \
    || fail "AAAA answer data"
grep -qF '"data":"\"hello world\""' "$WORK/lines" || fail "TXT answer data"
grep -F '"host":"e2e-host"' "$WORK/lines" >/dev/null || fail "host name in header"
# Every line is one complete JSON object.
if grep -vqE '^\{.*\}$' "$WORK/lines"; then fail "partial line"; fi

stop_pid "$UNBOUND_PID" || fail "unbound did not stop"
stop_pid "$QPID" || fail "daemon did not stop"
grep -q "\[INFO\] Stopped" "$WORK/daemon.log" || fail "no Stopped line"
echo "unbound_json: ok ($(wc -l <"$WORK/lines") lines)"
