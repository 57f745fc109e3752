#!/usr/bin/env bash
# The queue file: written at SIGTERM with the events no collector took,
# loaded by the next run and delivered, ignored by run-stdout, and a bad file
# at start refused with a clear message, status 1 and the file kept.
source "$(dirname "$0")/lib/common.bash"
source "$(dirname "$0")/lib/unbound.bash"
source "$(dirname "$0")/lib/capture.bash"
need socat fstrm_replay python3 unbound timeout

make_capture "$WORK/in.fstrm" $(names q 30)
N=$CAPTURE_FRAMES

# The configuration lives in its own directory: the relative queue file name
# is taken from there, whatever directory the daemon starts in.
DIR="$WORK/qdir"
mkdir -p "$DIR"
QFILE="$DIR/events.q"
CLOSED=$(free_port)

# conf NAME FORWARDER-OR-EMPTY
conf() {
    {
        printf 'message-format json\nmessage-hostname e2e-host\nmessage-queue-recovery on\n'
        printf 'message-queue-filename events.q\nmetrics-interval 3600\n'
        printf 'listener unix %s group=%s\n' "$WORK/$1.sock" "$GROUP"
        [ -z "$2" ] || printf 'forwarder %s\n' "$2"
    } >"$DIR/$1.conf"
}

# daemon MODE NAME: starts the daemon in $WORK; sets QPID.
daemon() {
    rm -f "$WORK/$2.sock"
    (cd "$WORK" && exec "$QX" "$1" "$DIR/$2.conf") >"$WORK/$2.log" 2>&1 &
    QPID=$!
    PIDS+=($QPID)
}

# stop_daemon NAME: SIGTERM, exit status 0, last line Stopped.
stop_daemon() {
    kill -TERM "$QPID"
    local rc=0
    for _ in $(seq 150); do kill -0 "$QPID" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$QPID" 2>/dev/null && fail "$1: daemon did not stop"
    wait "$QPID" || rc=$?
    [ "$rc" = 0 ] || fail "$1: exit status $rc"
    [ "$(tail -1 "$WORK/$1.log")" = "[INFO] Stopped" ] || fail "$1: last line is not Stopped"
}

received() { grep -q "Listener\[0\]: Receiver\[0\] Is finished" "$WORK/$1.log"; }

# --- 1. Undelivered events (collector unreachable) are written at SIGTERM.
conf persist "ipv4 127.0.0.1 $CLOSED batch-size=10"
daemon run persist
wait_for 10 unix_listening "$WORK/persist.sock" || fail "persist: listener socket missing"
replay "$WORK/in.fstrm" "$WORK/persist.sock"
wait_for 10 received persist || fail "persist: replay not received"
[ ! -e "$QFILE" ] || fail "persist: queue file written before the stop"
stop_daemon persist
grep -qF "Forwarder[0]: Connection error: " "$WORK/persist.log" || fail "persist: the collector was reachable"
[ -f "$QFILE" ] || fail "persist: no queue file in the configuration's directory"
[ ! -e "$QFILE.tmp" ] || fail "persist: temporary file left"
[ ! -e "$WORK/events.q" ] || fail "persist: queue file in the starting directory"
frames same-queue "$QFILE" "$WORK/in.fstrm" || fail "persist: queue file does not hold the $N events in order"
cp "$QFILE" "$WORK/saved.q"

# --- 2. run-stdout neither reads nor writes the queue file.
conf stdout "ipv4 127.0.0.1 $CLOSED"
daemon run-stdout stdout
wait_for 10 unix_listening "$WORK/stdout.sock" || fail "stdout: listener socket missing"
sleep 1
stop_daemon stdout
cmp -s "$QFILE" "$WORK/saved.q" || fail "stdout: queue file changed"
if grep -q '^{' "$WORK/stdout.log"; then fail "stdout: events of the queue file were read"; fi
# Without forwarders the replayed events stay queued: run would write them.
conf stdoutq ""
daemon run-stdout stdoutq
wait_for 10 unix_listening "$WORK/stdoutq.sock" || fail "stdoutq: listener socket missing"
replay "$WORK/in.fstrm" "$WORK/stdoutq.sock"
wait_for 10 received stdoutq || fail "stdoutq: replay not received"
stop_daemon stdoutq
cmp -s "$QFILE" "$WORK/saved.q" || fail "stdoutq: queue file written by run-stdout"
[ ! -e "$QFILE.tmp" ] || fail "stdoutq: temporary file written by run-stdout"

# --- 3. The next run loads the file and delivers every event. A record
# header cut short at the end (3 bytes) is read as if absent.
printf '\000\000\001' >>"$QFILE"
CPORT=$(free_port)
start collector socat -u TCP-LISTEN:$CPORT,bind=127.0.0.1,reuseaddr,fork OPEN:$WORK/recover.lines,creat,append
COLLECTOR=$LAST_PID
wait_for 10 tcp_listening "$CPORT" || fail "collector not listening"
conf recover "ipv4 127.0.0.1 $CPORT batch-size=8"
daemon run recover
wait_for 15 has_lines "$WORK/recover.lines" "$N" || fail "recover: $(count_lines "$WORK/recover.lines") of $N lines"
[ ! -e "$QFILE" ] || fail "recover: queue file not removed after loading it"
stop_daemon recover
wait_for 10 tcp_served "$CPORT" || fail "recover: the collector did not read to the end"
stop_pid "$COLLECTOR"
if grep -q "Run failed" "$WORK/recover.log"; then fail "recover: $(grep "Run failed" "$WORK/recover.log")"; fi
[ "$(count_lines "$WORK/recover.lines")" = "$N" ] || fail "recover: $(count_lines "$WORK/recover.lines") lines, expected $N"
[ "$(sort -u "$WORK/recover.lines" | wc -l)" = "$N" ] || fail "recover: repeated lines"
if grep -vqE '^\{"timestamp":.*"host":"e2e-host".*\}$' "$WORK/recover.lines"; then fail "recover: malformed line"; fi
# Nothing left at this stop: a file of the magic alone.
[ "$(od -An -c "$QFILE" | tr -d ' \n')" = "sslz" ] || fail "recover: queue file after the stop is not the bare magic"

# --- 4. Bad queue files at start: "Run failed: ...", status 1, no thread
# started, the file kept unchanged.
L1=$(python3 -c "import struct,sys; print(struct.unpack('>I', open(sys.argv[1],'rb').read()[4:8])[0])" "$WORK/saved.q")
conf bad "ipv4 127.0.0.1 $CLOSED"
# bad_file NAME MATCH EXPECTED: the queue file is already in place.
bad_file() {
    local name=$1 match=$2 expected=$3 rc=0
    cp "$QFILE" "$WORK/$name.before"
    (cd "$WORK" && exec timeout 20 "$QX" run "$DIR/bad.conf") >"$WORK/$name.out" 2>"$WORK/$name.err" || rc=$?
    [ "$rc" = 1 ] || fail "$name: exit status $rc, expected 1"
    case $match in
    exact) grep -qxF "[ERROR] Run failed: $expected" "$WORK/$name.err" || fail "$name: message: $(cat -v "$WORK/$name.err")" ;;
    prefix) grep -qF "[ERROR] Run failed: $expected" "$WORK/$name.err" || fail "$name: message: $(cat -v "$WORK/$name.err")" ;;
    esac
    if grep -q "Stopped" "$WORK/$name.out"; then fail "$name: Stopped after a failure"; fi
    if grep -q "Starting process loop" "$WORK/$name.out"; then fail "$name: a worker started"; fi
    cmp -s "$QFILE" "$WORK/$name.before" || fail "$name: queue file changed or removed"
    [ ! -e "$QFILE.tmp" ] || fail "$name: temporary file"
}

head -c 64 /dev/zero >"$QFILE"
bad_file zeros prefix "Read magic header from events.q failed: Expected 'sslz' but got "
printf 'abcd' >"$QFILE"
bad_file magic exact "Read magic header from events.q failed: Expected 'sslz' but got abcd"
: >"$QFILE"
bad_file empty prefix "Read magic header from events.q failed: "
printf 'ss' >"$QFILE"
bad_file short prefix "Read magic header from events.q failed: "
head -c $((4 + 5 + L1 / 2)) "$WORK/saved.q" >"$QFILE"
bad_file truncated prefix "Read next event of $L1 bytes from events.q failed: "
# The second record cut off: the first one is read, the file still kept.
head -c $((4 + 5 + L1 + 5 + 3)) "$WORK/saved.q" >"$QFILE"
bad_file truncated2 prefix "Read next event of "
read -r SUM STORED < <(python3 - "$WORK/saved.q" "$QFILE" <<'PY'
import sys
d = bytearray(open(sys.argv[1], "rb").read())
n = int.from_bytes(d[4:8], "big")
s = sum(d[9:9 + n]) & 0xFF
d[8] = (s + 1) & 0xFF
open(sys.argv[2], "wb").write(d)
print(s, d[8])
PY
)
bad_file checksum exact "Read next event of $L1 bytes from events.q failed: Expected checksum $SUM but got $STORED"
printf 'sslz\377\377\377\377\000abc' >"$QFILE"
bad_file huge prefix ""
printf 'sslz\000\000\000\000\000' >"$QFILE"
bad_file zero-length prefix "Read next event of 0 bytes from events.q failed: "
cp "$WORK/saved.q" "$QFILE"
head -c 2000 /dev/urandom >>"$QFILE"
bad_file garbage-tail prefix ""

# --- 5. The queue file's name is taken by a non-empty directory at stop: the
# rename fails with status 1, and the temporary file keeps every event.
rm -f "$QFILE"
conf rename "ipv4 127.0.0.1 $CLOSED batch-size=10"
daemon run rename
wait_for 10 unix_listening "$WORK/rename.sock" || fail "rename: listener socket missing"
replay "$WORK/in.fstrm" "$WORK/rename.sock"
wait_for 10 received rename || fail "rename: replay not received"
mkdir -p "$QFILE/inner"
kill -TERM "$QPID"
rc=0
wait_for 15 bash -c "! kill -0 $QPID 2>/dev/null" || fail "rename: daemon did not stop"
wait "$QPID" || rc=$?
[ "$rc" = 1 ] || fail "rename: exit status $rc, expected 1"
grep -qxF "[ERROR] Run failed: Rename events.q.tmp to events.q failed: Is a directory" "$WORK/rename.log" ||
    fail "rename: message: $(grep -F "Run failed" "$WORK/rename.log")"
[ -d "$QFILE/inner" ] || fail "rename: the directory was touched"
frames same-queue "$QFILE.tmp" "$WORK/in.fstrm" || fail "rename: temporary file does not hold the $N events in order"

echo "queue_file: ok ($N events)"
