#!/usr/bin/env bash
# A quiet DNS server keeps its dnstap connection only as long as the
# listener's keepalive allows. knot-resolver notices a connection the receiver
# has ended only at its next write and drops what it had queued for it: with
# keepalive=0 (read-timeout=1) a quiet spell of a few seconds costs events;
# with the keepalive of the shipped examples every event after it arrives.
source "$(dirname "$0")/lib/common.bash"
source "$(dirname "$0")/lib/kresd.bash"
need kresd kdig python3

# The keepalive every example listener sets (continuation lines joined,
# comments cut); they must all agree.
EXAMPLES="$(dirname "$0")/../../examples"
KEEP=$(awk '{ sub(/#.*/, "") }
    /^[ \t]/ && e != "" { e = e " " $0; next }
    { if (e ~ /^listener[ \t]/) print e; e = $0 }
    END { if (e ~ /^listener[ \t]/) print e }' "$EXAMPLES"/*.conf |
    awk '{ k = "none"; for (i = 1; i <= NF; i++) if ($i ~ /^keepalive=/) k = substr($i, 11); print k }' | sort -u)
[ -n "$KEEP" ] || fail "no listener in the examples"
[ "$(printf '%s\n' "$KEEP" | wc -l)" = 1 ] || fail "example listeners disagree on keepalive: ${KEEP//$'\n'/ }"
[[ "$KEEP" =~ ^[0-9]+$ ]] || fail "an example listener sets no keepalive"
# Their comments promise an idle connection is never ended.
[ "$KEEP" = 4294967295 ] || fail "example listeners set keepalive=$KEEP, not the largest, 4294967295"

# Forwarders write to standard output (run-stdout): nothing listens here.
CLOSED=$(free_port)
declare -A PORT

# setup NAME KEEPALIVE: a daemon whose Unix listener ends a connection after
# keepalive+1 silent seconds, and a knot-resolver (lib/kresd.bash) that logs
# client queries and responses into that listener.
setup() {
    local name=$1 keep=$2
    cat >"$WORK/$name.conf" <<CONF
message-format json
message-queue-recovery off
metrics-interval 3600
listener unix $WORK/$name.sock group=$GROUP read-timeout=1 keepalive=$keep
forwarder ipv4 127.0.0.1 $CLOSED
CONF
    start "$name" "$QX" run-stdout "$WORK/$name.conf"
    wait_for 10 unix_listening "$WORK/$name.sock" || fail "$name: listener socket missing"
    # knot-resolver does not retry its first connection: the listener is up.
    # Ready when it takes TCP connections: a DNS query here would end the
    # quiet spell that starts with the connection.
    start_kresd "$WORK/$name.sock" "kresd-$name" quiet
    PORT[$name]=$KRESD_PORT
    wait_for 10 grep -q "Handling connection from" "$WORK/$name.log" || fail "$name: knot-resolver did not connect"
}

# ask NAME QNAME...: A queries to NAME's resolver, one after another;
# succeeds when every one was answered.
ask() {
    local port=${PORT[$1]} n
    shift
    n=$(kdig @127.0.0.1 -p "$port" +time=2 +retry=0 "$@" | grep -c "status: NOERROR" || true)
    [ "$n" = $# ]
}

# events NAME: event lines for the burst's names (q1 ... q50).
events() { grep -c '^{.*"qname":"q[0-9]*\.example\.test\."' "$WORK/$1.log" || true; }
has_events() { [ "$(events "$1")" -ge "$2" ]; }
# connections NAME / timeouts NAME: connections taken and ended idle.
connections() { grep -c "Handling connection from" "$WORK/$1.log" || true; }
timeouts() { grep -c "Process loop failed: Connection timed out" "$WORK/$1.log" || true; }
all_idle_ended() { [ "$(timeouts "$1")" -ge 1 ] && [ "$(timeouts "$1")" = "$(connections "$1")" ]; }

setup cut 0
setup kept "$KEEP"

# Quiet spell since the connections began: four times what keepalive=0
# allows. knot-resolver has nothing to write and notices nothing.
sleep 4
wait_for 10 all_idle_ended cut || fail "cut: the idle connection was not ended"
before=$(connections cut)

NAMES=$(for i in $(seq 50); do printf 'q%d.example.test ' "$i"; done)
# shellcheck disable=SC2086
ask cut $NAMES || true
# shellcheck disable=SC2086
ask kept $NAMES || fail "kept: queries not answered"

wait_for 20 has_events kept 100 || fail "kept: $(events kept) of 100 events after the quiet spell"
# knot-resolver reconnects the cut connection within a few seconds.
reconnected() { [ "$(connections cut)" -gt "$before" ]; }
wait_for 10 reconnected || true
sleep 1
cut=$(events cut) kept=$(events kept)
echo "events after the quiet spell: keepalive=0 $cut of 100, keepalive=$KEEP $kept of 100"
[ "$kept" = 100 ] || fail "kept: $kept events, expected 100"
if grep -E "Connection timed out|Is finished" "$WORK/kept.log" >/dev/null; then
    fail "kept: the idle connection was ended"
fi
# Without this loss the quiet spell would prove nothing.
[ "$cut" -lt 100 ] || fail "cut: no event lost after the connection was ended"
echo "quiet_sender: ok"
