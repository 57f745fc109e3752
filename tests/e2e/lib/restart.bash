# A DNS server under a steady dnsperf load (one new name per query) streams
# dnstap into a receiver that is stopped and started again mid-load: either
# fstrm_capture, the baseline of what the server itself keeps or drops while
# its receiver is away, or the daemon with queue recovery on, sending JSON to
# a socat collector. The events of the load are then counted by query name
# against two per answered query. Needs lib/common.bash, lib/unbound.bash and
# lib/kresd.bash.

RATE=100      # queries per second
LOAD_SECS=10  # length of the load
STOP_AT=3     # seconds into the load when the receiver is stopped
GAP=1         # seconds the receiver stays away: longer than between two of
              # kresd's writes, so that one fails; with its stop and start,
              # well under the 5 s kresd then waits before it connects again
# A stop of the daemon takes a fraction of a second (queue file fsync
# included). Sanitizer builds start and stop several times slower.
STOP_BOUND=0.8
if sanitized; then STOP_BOUND=3.2; fi

# stop_timed PID: SIGTERM, then waits up to 30 s for the end; sets STOP_TIME
# (seconds, two decimals).
stop_timed() {
    local pid=$1 t0=$EPOCHREALTIME i
    kill -TERM "$pid" 2>/dev/null || fail "process $pid is not running"
    for i in $(seq 3000); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.01
    done
    kill -0 "$pid" 2>/dev/null && fail "process $pid did not stop within 30 s"
    STOP_TIME=$(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.2f", b - a }')
}

# receiver_start: instance N (1 or 2) of the run's receiver; sets RECV_PID.
receiver_start() {
    local n=$1
    if [ "$TRANSPORT" = unix ]; then rm -f "$RSOCK"; fi
    if [ "$KIND" = capture ]; then
        if [ "$TRANSPORT" = unix ]; then
            start "$RUN-capture$n" fstrm_capture -t protobuf:dnstap.Dnstap -u "$RSOCK" -w "$WORK/$RUN.$n.fstrm"
        else
            start "$RUN-capture$n" fstrm_capture -t protobuf:dnstap.Dnstap -a 127.0.0.1 -p "$RPORT" -w "$WORK/$RUN.$n.fstrm"
        fi
    else
        start "$RUN-daemon$n" "$QX" run "$WORK/$RUN.conf"
    fi
    RECV_PID=$LAST_PID
    wait_for 20 receiver_listening || fail "$RUN: receiver $n is not listening"
}

receiver_listening() {
    if [ "$TRANSPORT" = unix ]; then unix_listening "$RSOCK"; else tcp_listening "$RPORT"; fi
}
receiver_served() {
    if [ "$TRANSPORT" = unix ]; then unix_served "$RSOCK"; else tcp_served "$RPORT"; fi
}

# down_watch: started right before the receiver's stop signal; in the
# background, writes into $WORK/$RUN.down the seconds from then until a
# socket listens again after the stop closed it (the time the server has no
# receiver that takes its events), and into $WORK/$RUN.open the last time
# (epoch seconds) the stopping receiver's connection from the server was
# seen open and the time a socket listened again.
down_watch() {
    (
        local t0=$EPOCHREALTIME t gone=0 open_until=$EPOCHREALTIME closed=0 i
        for i in $(seq 6000); do
            t=$EPOCHREALTIME
            if [ $closed = 0 ]; then
                if receiver_served; then closed=1; else open_until=$t; fi
            fi
            if ! receiver_listening; then
                gone=1
            elif [ $gone = 1 ] && [ $closed = 1 ]; then
                echo "$open_until $t" >"$WORK/$RUN.open"
                awk -v a="$t0" -v b="$t" 'BEGIN { printf "%.3f\n", b - a }' >"$WORK/$RUN.down"
                exit 0
            fi
            sleep 0.005
        done
    ) &
    PIDS+=($!)
}

# count_events: "RECEIVED REPEATED GAPS BEFORE AFTER": distinct (type,
# name) events of this run's load that reached the end, the surplus of
# repeated ones, the number of separate stretches of the load (in query
# order) that lost events, and around the first such stretch the time of the
# last event kept before it and of the first one kept after it (epoch
# seconds, as the server stamped them; "-" when nothing was lost).
count_events() {
    if [ "$KIND" = capture ]; then
        for f in "$WORK/$RUN".*.fstrm; do dnstap -r "$f" -j 2>/dev/null; done
    else
        cat "$WORK/$RUN.lines"
    fi | python3 -c '
import datetime, json, re, sys
prefix, completed = sys.argv[1] + "-", int(sys.argv[2])
def epoch(stamp):  # RFC 3339 in UTC, any number of fraction digits
    day, _, frac = stamp.rstrip("Z").partition(".")
    t = datetime.datetime.strptime(day, "%Y-%m-%dT%H:%M:%S").replace(tzinfo=datetime.timezone.utc)
    return t.timestamp() + float("0." + (frac or "0"))
seen, total = {}, 0
for line in sys.stdin:
    try:
        event = json.loads(line)
    except ValueError:  # a line still being written, or not an event
        continue
    if "message" in event:  # fstrm_capture, read back by dnstap -j
        m = event["message"]
        kind = "query" if m["type"] == "CLIENT_QUERY" else "response"
        text = m.get("query_message" if kind == "query" else "response_message", "")
        found = re.search(r"QUESTION SECTION:\n;(\S+)", text)
        name, stamp = found.group(1) if found else "", m.get(kind + "_time", "")
    else:  # the daemon JSON output
        kind = "query" if event["type"] == "client-query" else "response"
        name, stamp = event["data"].get("qname", ""), event["timestamp"]
    found = re.match(re.escape(prefix) + r"(\d+)\.", name)
    if found:
        total += 1
        seen[(kind, int(found.group(1)))] = epoch(stamp)
lost = [i for i in range(1, completed + 1) if ("query", i) not in seen or ("response", i) not in seen]
gaps = sum(1 for n, i in enumerate(lost) if n == 0 or lost[n - 1] != i - 1)
before = after = "-"
if lost:
    first = lost[0]
    last = first
    for i in lost[1:]:
        if i != last + 1:
            break
        last = i
    kept_before = [t for (k, i), t in seen.items() if i <= first]
    kept_after = [t for (k, i), t in seen.items() if i >= last]
    before = "%.3f" % max(kept_before) if kept_before else "-"
    after = "%.3f" % min(kept_after) if kept_after else "-"
print(len(seen), total - len(seen), gaps, before, after)
' "$RUN" "${COMPLETED:-0}"
}

all_received() {
    local received
    read -r received _ < <(count_events)
    [ "$received" -ge "$EXPECTED" ]
}

# restart_run RUN KIND SERVER TRANSPORT: one run under load, KIND capture or
# daemon, SERVER unbound or kresd, TRANSPORT unix or tcp (unbound only).
# Prints the figures and sets EXPECTED, RECEIVED, LOST, REPEATED, STOP_TIME,
# DOWN_TIME (seconds from the stop signal until a socket listens again),
# OPEN_UNTIL and BACK_AT (epoch seconds: the stopping receiver's connection
# last seen open, a socket listening again), and from count_events GAPS,
# KEPT_BEFORE and KEPT_AFTER.
restart_run() {
    RUN=$1 KIND=$2 SERVER=$3 TRANSPORT=$4
    need dnsperf python3
    [ "$KIND" = capture ] && need fstrm_capture dnstap
    RSOCK="$WORK/$RUN.sock"
    RPORT=$(free_port)
    local address=$RSOCK
    [ "$TRANSPORT" = tcp ] && address="127.0.0.1@$RPORT"

    if [ "$KIND" = daemon ]; then
        local cport listener
        cport=$(free_port)
        start "$RUN-collector" socat -u TCP-LISTEN:$cport,bind=127.0.0.1,reuseaddr,fork OPEN:$WORK/$RUN.lines,creat,append
        wait_for 10 tcp_listening "$cport" || fail "$RUN: collector not listening"
        listener="unix $RSOCK group=$GROUP"
        [ "$TRANSPORT" = tcp ] && listener="ipv4 127.0.0.1 $RPORT"
        cat >"$WORK/$RUN.conf" <<CONF
message-format json
message-queue-recovery on
message-queue-filename $RUN.queue
metrics-interval 1
listener $listener
forwarder ipv4 127.0.0.1 $cport recovery=durable
CONF
    fi
    receiver_start 1
    local server_pid port
    if [ "$SERVER" = unbound ]; then
        start_unbound "$address"
        server_pid=$UNBOUND_PID port=$UNBOUND_PORT
    else
        start_kresd "$address"
        server_pid=$KRESD_PID port=$KRESD_PORT
    fi

    local i
    for i in $(seq $((RATE * LOAD_SECS))); do echo "$RUN-$i.example.test A"; done >"$WORK/$RUN.names"
    start "$RUN-dnsperf" dnsperf -s 127.0.0.1 -p "$port" -d "$WORK/$RUN.names" -n 1 -Q "$RATE" -l "$LOAD_SECS" -t 2
    local load_pid=$LAST_PID
    sleep "$STOP_AT"
    down_watch
    stop_timed "$RECV_PID"
    local stop_time=$STOP_TIME
    if [ "$KIND" = daemon ]; then
        [ "$(tail -1 "$WORK/$RUN-daemon1.log")" = "[INFO] Stopped" ] || fail "$RUN: the first daemon did not end with Stopped"
        [ -f "$WORK/$RUN.queue" ] || fail "$RUN: no queue file written at the stop"
    fi
    sleep "$GAP"
    receiver_start 2
    wait_for $((LOAD_SECS + 10)) bash -c "! kill -0 $load_pid 2>/dev/null" || fail "$RUN: dnsperf did not end"
    local completed
    completed=$(awk '/Queries completed:/ {print $3}' "$WORK/$RUN-dnsperf.log")
    [ -n "$completed" ] || fail "$RUN: no dnsperf figures"
    EXPECTED=$((2 * completed)) COMPLETED=$completed

    # unbound writes what it holds about a second later and drops it at its
    # stop: the run waits until every event of the load has arrived (a loss
    # then shows in the count). kresd writes what it holds when it stops.
    if [ "$SERVER" = unbound ]; then
        [ "$KIND" = daemon ] || fail "$RUN: unbound's events are counted as they arrive, in the daemon's output"
        wait_for 30 all_received || true
    fi
    if [ "$KIND" = daemon ]; then
        wait_for 10 grep "Handling connection from" "$WORK/$RUN-daemon2.log" ||
            fail "$RUN: $SERVER did not connect again"
        stop_pid "$server_pid" || fail "$RUN: $SERVER did not stop"
        # Until the server's events have been taken in and sent on: a
        # report after the end of its stream shows an empty queue.
        wait_drained "$WORK/$RUN-daemon2.log" 15 || fail "$RUN: the second daemon did not drain"
        stop_timed "$RECV_PID"
        [ "$(tail -1 "$WORK/$RUN-daemon2.log")" = "[INFO] Stopped" ] || fail "$RUN: the second daemon did not end with Stopped"
        wait_for 10 tcp_served "$cport" || fail "$RUN: the collector did not read to the end"
        [ "$(head -c 4 "$WORK/$RUN.queue")" = sslz ] && [ "$(stat -c %s "$WORK/$RUN.queue")" = 4 ] ||
            fail "$RUN: events left in the queue file at the end"
        # The stop itself fails nothing. (At its own end a server may close
        # before it reads the FINISH, which the second daemon then reports.)
        if grep -E "Process loop failed|Run failed" "$WORK/$RUN-daemon1.log" >/dev/null; then
            fail "$RUN: $(grep -hE "Process loop failed|Run failed" "$WORK/$RUN-daemon1.log" | head -3)"
        fi
        if grep "Run failed" "$WORK/$RUN-daemon2.log" >/dev/null; then fail "$RUN: $(grep "Run failed" "$WORK/$RUN-daemon2.log")"; fi
    else
        stop_pid "$server_pid" || fail "$RUN: $SERVER did not stop"
        wait_for 10 receiver_served || fail "$RUN: fstrm_capture did not read to the end"
        stop_pid "$RECV_PID" || fail "$RUN: fstrm_capture did not stop"
    fi
    read -r RECEIVED REPEATED GAPS KEPT_BEFORE KEPT_AFTER < <(count_events)
    LOST=$((EXPECTED - RECEIVED))
    STOP_TIME=$stop_time
    wait_for 5 test -s "$WORK/$RUN.down" || fail "$RUN: no time without a receiver measured"
    DOWN_TIME=$(cat "$WORK/$RUN.down")
    read -r OPEN_UNTIL BACK_AT <"$WORK/$RUN.open"
    echo "$RUN: $SERVER over $TRANSPORT into $KIND: $completed queries answered, events expected $EXPECTED," \
        "received $RECEIVED, lost $LOST, repeated $REPEATED; receiver stop took $STOP_TIME s," \
        "no receiver for $DOWN_TIME s"
}
