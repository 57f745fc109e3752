# An unbound instance answering example.test. on loopback and logging client
# queries and responses by dnstap to a Unix socket. It never asks the internet.

# start_unbound DNSTAP_SOCKET: sets UNBOUND_PORT and UNBOUND_PID.
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
    cat >"$dir/unbound.conf" <<CONF
server:
    interface: 127.0.0.1@$UNBOUND_PORT
    port: $UNBOUND_PORT
    do-ip6: no
    do-daemonize: no
    username: ""
    chroot: ""
    directory: "$dir"
    pidfile: "$dir/unbound.pid"
    use-syslog: no
    logfile: ""
    num-threads: 1
    access-control: 127.0.0.0/8 allow
    module-config: "iterator"
    root-hints: ""
    do-not-query-localhost: no
    local-zone: "." refuse
    local-zone: "test." nodefault
    local-zone: "example.test." transparent
auth-zone:
    name: "example.test."
    zonefile: "$dir/example.test.zone"
    for-downstream: yes
    for-upstream: yes
    fallback-enabled: no
remote-control:
    control-enable: no
dnstap:
    dnstap-enable: yes
    dnstap-bidirectional: yes
    dnstap-socket-path: "$sock"
    dnstap-send-identity: yes
    dnstap-send-version: yes
    dnstap-log-client-query-messages: yes
    dnstap-log-client-response-messages: yes
CONF
    start unbound unbound -d -c "$dir/unbound.conf"
    UNBOUND_PID=$LAST_PID
    wait_for 20 query_unbound www.example.test A || fail "unbound did not answer"
}

# query_unbound NAME TYPE: one UDP query; succeeds when an answer came back.
query_unbound() {
    if command -v kdig >/dev/null 2>&1; then
        kdig @127.0.0.1 -p "$UNBOUND_PORT" +time=2 +retry=0 "$1" "$2" | grep -q "status: NOERROR"
    else
        dig @127.0.0.1 -p "$UNBOUND_PORT" +time=2 +tries=1 "$1" "$2" | grep -q "status: NOERROR"
    fi
}
