# A small dnstap capture made by unbound into fstrm_capture, and the tools to
# replay it into the daemon. Needs lib/common.bash and lib/unbound.bash.

FRAMES="$(dirname "${BASH_SOURCE[0]}")/frames.py"
frames() { python3 "$FRAMES" "$@"; }

# make_capture FILE NAME...: one A query per name (besides a few fixed
# queries), logged by unbound as client query and response frames.
make_capture() {
    local out=$1; shift
    need unbound fstrm_capture python3
    local sock="$WORK/capture.sock"
    start capture fstrm_capture -t protobuf:dnstap.Dnstap -u "$sock" -w "$out"
    local cpid=$LAST_PID
    wait_for 10 test -S "$sock" || fail "fstrm_capture socket missing"
    start_unbound "$sock"
    query_unbound www.example.test AAAA || true
    query_unbound txt.example.test TXT || true
    query_unbound mail.example.test A || true
    if [ $# -gt 0 ]; then
        dig_unbound "$@" >/dev/null 2>&1 || true
    fi
    sleep 2
    stop_pid "$UNBOUND_PID" || fail "unbound did not stop"
    stop_pid "$cpid" || fail "fstrm_capture did not stop"
    CAPTURE_FRAMES=$(frames count "$out") || fail "capture unreadable"
    [ "$CAPTURE_FRAMES" -ge $((2 * $# + 8)) ] || fail "capture holds only $CAPTURE_FRAMES frames"
}

# replay FILE SOCK: sends the capture into a Unix listener.
replay() {
    fstrm_replay -t protobuf:dnstap.Dnstap -r "$1" -u "$2" >>"$WORK/replay.log" 2>&1 || fail "fstrm_replay $1"
}

# names PREFIX COUNT: PREFIX1.example.test ... PREFIXCOUNT.example.test
names() {
    local i
    for i in $(seq "$2"); do printf '%s%d.example.test ' "$1" "$i"; done
}

# has_lines FILE N: FILE holds at least N lines.
has_lines() { [ "$(count_lines "$1")" -ge "$2" ]; }
