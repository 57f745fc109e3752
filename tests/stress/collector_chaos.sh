#!/usr/bin/env bash
# A collector that accepts, stalls, reads a little, then resets, cuts a frame
# in half or closes, over and over, while events stream in. One daemon per
# recovery mode, side by side. The counts are checked: with "durable" every
# event arrives at least once; with "best-effort" at most one batch per
# connection error is lost; with "drop" at most the unsent batch and the one
# event cut mid-frame per error are lost, and none arrives twice.
source "$(dirname "$0")/../e2e/lib/common.bash"
need python3
CHAOS="$(dirname "$0")/lib/chaos.py"
chaos() { python3 "$CHAOS" "$@"; }
N=200 # events per mode, 32 KiB each
B=6   # batch size
SECS=5
MODES="durable best-effort drop"

tag() { case $1 in durable) echo d ;; best-effort) echo b ;; drop) echo x ;; esac; }

# setup MODE: collector and daemon for one mode.
setup() {
    local m=$1 seed
    seed=${CHAOS_SEED:-$RANDOM}
    echo "$m: collector seed $seed"
    start "coll-$m" python3 "$CHAOS" collector "$WORK/$m.port" "$WORK/$m.out" "$seed" "$B"
    eval "COLL_${m//-/_}=$LAST_PID"
    touch "$WORK/$m.out"
    wait_for 10 test -s "$WORK/$m.port" || fail "$m: collector did not start"
    cat >"$WORK/$m.conf" <<EOC
message-format dnstap
message-queue-recovery off
message-queue-size 33554432
metrics-interval 1
listener unix $WORK/$m.sock group=$GROUP
forwarder ipv4 127.0.0.1 $(cat "$WORK/$m.port") batch-size=$B recovery=$m send-buffer-size=4096
EOC
    start "$m" "$QX" run "$WORK/$m.conf"
    eval "QPID_${m//-/_}=$LAST_PID"
}

for m in $MODES; do setup "$m"; done
for m in $MODES; do wait_for 10 unix_listening "$WORK/$m.sock" || fail "$m: listener missing"; done

SENDERS=()
for m in $MODES; do
    chaos send "$WORK/$m.sock" "$(tag "$m")" "$N" "$SECS" >"$WORK/$m.sent" 2>&1 &
    SENDERS+=($!)
done
for pid in "${SENDERS[@]}"; do wait "$pid" || fail "a sender failed: $(cat "$WORK"/*.sent)"; done

# Calm the collectors, make each forwarder notice a connection the collector
# may have dropped while it was idle, then let the queue drain.
for m in $MODES; do touch "$WORK/$m.out.calm"; done
for m in $MODES; do wait_for 10 test -e "$WORK/$m.out.calm-ack" || fail "$m: collector not calm"; done
FLUSH=()
for m in $MODES; do
    chaos flush "$WORK/$m.sock" "$(tag "$m")" "$WORK/$m.out" 25 >"$WORK/$m.flush" 2>&1 &
    FLUSH+=($!)
done
for pid in "${FLUSH[@]}"; do wait "$pid" || fail "a forwarder did not come back: $(cat "$WORK"/*.flush)"; done

# A metrics report after the flush event arrived that shows an empty queue:
# nothing is left to send and no connection can fail any more.
empty_after() { tail -n +"$2" "$WORK/$1.log" | grep 'Metrics:.*eventsQueued=0[] ]' >/dev/null; }
for m in $MODES; do
    from=$(($(count_lines "$WORK/$m.log") + 1))
    wait_for 20 empty_after "$m" "$from" || fail "$m: the queue did not drain"
done

for m in $MODES; do
    q=QPID_${m//-/_}
    stop_pid "${!q}" || fail "$m: daemon did not stop"
done
for m in $MODES; do
    c=COLL_${m//-/_}
    stop_pid "${!c}"
done

for m in $MODES; do
    log="$WORK/$m.log"
    [ "$(tail -1 "$log")" = "[INFO] Stopped" ] || fail "$m: last line is not Stopped"
    if grep -qiE "Process loop failed|sanitizer|runtime error|terminate called|Run failed" "$log"; then
        fail "$m: a failure was reported"
    fi
    if grep -q 'eventsDropped=[1-9]' "$log"; then fail "$m: the queue dropped events"; fi
    F=$(grep -c "Forwarder\[0\]: Connection error: " "$log" || true)
    [ "$F" -ge 2 ] || fail "$m: only $F connection errors, the collector did not disturb the stream"
    prev=$(grep -c "previous events back to the event queue" "$log" || true)
    cur=$(grep -c "current events back to the event queue" "$log" || true)
    case $m in
        drop) [ $((prev + cur)) = 0 ] || fail "drop: events were returned to the queue" ;;
        best-effort) [ "$prev" = 0 ] || fail "best-effort: previous events were returned" ;;
    esac
    echo "$m: collector $(cat "$WORK/$m.out.stats"); returned previous $prev times, current $cur times"
    chaos check "$WORK/$m.out" "$(tag "$m")" "$N" "$B" "$F" "$m" || fail "$m: counts"
done
echo "PASS"
