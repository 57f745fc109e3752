# A knot-resolver instance answering every name under example.test. with one
# address and refusing the rest, logging client queries and responses by
# dnstap to a Unix socket. Its policy answers everything itself, so it never
# asks the internet.

# start_kresd DNSTAP_SOCKET [NAME [quiet]]: sets KRESD_PORT and KRESD_PID.
# kresd connects to the socket when it starts: the receiver must be listening
# by then. NAME (default kresd) names its folder and log. It is ready once it
# answers a query, or, with quiet, once it takes a TCP connection, so that no
# event is sent.
start_kresd() {
    local sock=$1 name=${2:-kresd} ready=${3:-}
    need kresd kdig
    KRESD_PORT=$(free_port)
    local dir="$WORK/$name"
    mkdir -p "$dir"
    cat >"$dir/kresd.conf" <<CONF
net.listen('127.0.0.1', $KRESD_PORT, { kind = 'dns' })
modules.unload('ta_update')
modules.unload('priming')
modules.unload('detect_time_skew')
trust_anchors.remove('.')
cache.size = 10 * MB
modules.load('dnstap')
dnstap.config({ socket_path = '$sock', identity = 'kresd-e2e', version = 'e2e',
    client = { log_queries = true, log_responses = true } })
policy.add(policy.suffix(policy.ANSWER({ [kres.type.A] = { rdata = kres.str2ip('192.0.2.1'), ttl = 300 } }),
    { todname('example.test.') }))
policy.add(policy.all(policy.DENY))
CONF
    start "$name" kresd -n -c "$dir/kresd.conf" "$dir"
    KRESD_PID=$LAST_PID
    if [ "$ready" = quiet ]; then
        wait_for 20 bash -c "exec 3<>/dev/tcp/127.0.0.1/$KRESD_PORT" || fail "$name is not listening"
    else
        wait_for 20 query_kresd www.example.test || fail "$name did not answer"
    fi
}

# query_kresd NAME: one UDP query for an address; succeeds on an answer.
query_kresd() {
    kdig @127.0.0.1 -p "$KRESD_PORT" +time=2 +retry=0 "$1" A | grep "status: NOERROR" >/dev/null
}
