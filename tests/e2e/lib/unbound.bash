# An unbound instance answering example.test. on loopback and logging client
# queries and responses by dnstap to a Unix socket. It never asks the internet.

# The server configuration, shared with the throughput benchmark.
UNBOUND_CONF_IN="$(dirname "${BASH_SOURCE[0]}")/unbound.conf.in"

# start_unbound DNSTAP_SOCKET: sets UNBOUND_PORT and UNBOUND_PID. A place of
# the form 127.0.0.1@PORT sends dnstap over TCP instead.
start_unbound() {
    local sock=$1
    need unbound
    UNBOUND_PORT=$(free_port)
    local dir="$WORK/unbound"
    mkdir -p "$dir"
    cat >"$dir/example.test.zone" <<ZONE
\$ORIGIN example.test.
\$TTL 300
@    IN SOA ns.example.test. admin.example.test. 1 3600 600 86400 300
@    IN NS  ns
ns   IN A   127.0.0.1
www  IN A   192.0.2.10
www  IN AAAA 2001:db8::10
mail IN A   192.0.2.25
@    IN MX  10 mail
txt  IN TXT "hello world"
ZONE
    local conf
    conf=$(<"$UNBOUND_CONF_IN")
    conf=${conf//@PORT@/$UNBOUND_PORT}
    conf=${conf//@DIR@/$dir}
    if [[ $sock == *@* ]]; then
        conf=${conf//dnstap-socket-path: \"@SOCK@\"/dnstap-ip: \"@SOCK@\"$'\n'    dnstap-tls: no}
    fi
    printf '%s\n' "${conf//@SOCK@/$sock}" >"$dir/unbound.conf"
    start unbound unbound -d -c "$dir/unbound.conf"
    UNBOUND_PID=$LAST_PID
    wait_for 20 query_unbound www.example.test A || fail "unbound did not answer"
}

# dig_unbound ARGS...: UDP queries to the instance, by kdig or else dig, one try each.
dig_unbound() {
    if command -v kdig >/dev/null 2>&1; then
        kdig @127.0.0.1 -p "$UNBOUND_PORT" +time=2 +retry=0 "$@"
    else
        dig @127.0.0.1 -p "$UNBOUND_PORT" +time=2 +tries=1 "$@"
    fi
}

# query_unbound NAME TYPE: one UDP query; succeeds when an answer came back.
query_unbound() {
    dig_unbound "$1" "$2" | grep "status: NOERROR" >/dev/null
}
