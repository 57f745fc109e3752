#!/usr/bin/env bash
# The command line: version, usage, print-psl, a run stopped by SIGTERM,
# a relative configuration path, and configuration errors.
source "$(dirname "$0")/lib/common.bash"

[ "$("$QX" version)" = "2.4.4" ] || fail "version"
[ "$("$QX" version extra)" = "2.4.4" ] || fail "version with extra argument"

for args in "" "Run" "run" "run-stdout" "unknown x"; do
    set +e
    # shellcheck disable=SC2086
    "$QX" $args >"$WORK/out" 2>"$WORK/err"
    rc=$?
    set -e
    [ "$rc" = 1 ] || fail "usage status for '$args': $rc"
    [ ! -s "$WORK/out" ] || fail "usage wrote to standard output"
    [ "$(wc -l <"$WORK/err")" = 4 ] || fail "usage lines"
    [ "$(head -1 "$WORK/err")" = "usage: quorvalex run <quorvalex.conf>" ] || fail "usage text"
done

"$QX" print-psl >"$WORK/psl"
[ "$(wc -l <"$WORK/psl")" = 6933 ] || fail "print-psl line count"
[ "$(head -1 "$WORK/psl")" = "domain-suffix ac" ] || fail "print-psl first line"
[ "$(tail -1 "$WORK/psl")" = "domain-suffix zuerich" ] || fail "print-psl last line"

# A run with a relative path: the file is read from the starting directory,
# then the daemon changes to the configuration's directory.
mkdir -p "$WORK/conf"
cat >"$WORK/conf/q.conf" <<CONF
message-queue-recovery off
metrics-interval 3600
CONF
(cd "$WORK" && exec "$QX" run conf/q.conf) >"$WORK/run.log" 2>&1 &
pid=$!
PIDS+=($pid)
wait_for 10 grep -q "BackgroundLogger: Starting process loop" "$WORK/run.log" || fail "run did not start"
# SIGINT and SIGTERM are blocked in every worker thread, open in the main one
# (once it has started the last worker, whose first line is the one above).
sigblk() { awk '/^SigBlk:/ { print $2 }' "$1"; }
main_open() { [ $((16#$(sigblk "/proc/$pid/task/$pid/status") & 16#4002)) = 0 ]; }
wait_for 10 main_open || fail "main thread blocks SIGINT/SIGTERM"
workers=0
for task in /proc/"$pid"/task/*; do
    blocked=$((16#$(sigblk "$task/status") & 16#4002))
    if [ "${task##*/}" = "$pid" ]; then
        [ "$blocked" = 0 ] || fail "main thread blocks SIGINT/SIGTERM"
    else
        workers=$((workers + 1))
        [ "$blocked" = $((16#4002)) ] || fail "worker thread ${task##*/} takes SIGINT/SIGTERM"
    fi
done
[ "$workers" -ge 1 ] || fail "no worker thread seen"
kill -TERM "$pid"
set +e; wait "$pid"; rc=$?; set -e
[ "$rc" = 0 ] || fail "run exit status $rc"
head -3 "$WORK/run.log" >"$WORK/head"
printf '[INFO] Started\n[INFO] Changing directory to conf\n[INFO] Reading config from conf/q.conf\n' | cmp -s - "$WORK/head" \
    || fail "start-up lines: $(cat "$WORK/head")"
[ "$(tail -1 "$WORK/run.log")" = "[INFO] Stopped" ] || fail "last line is not Stopped"

# Configuration errors: the message on standard error and status 1.
check_error() {
    local conf=$1 expected=$2
    printf '%s\n' "$conf" >"$WORK/bad.conf"
    set +e
    "$QX" run "$WORK/bad.conf" >"$WORK/bad.out" 2>"$WORK/bad.err"
    local rc=$?
    set -e
    [ "$rc" = 1 ] || fail "status $rc for: $conf"
    grep -qxF "[ERROR] Run failed: $expected" "$WORK/bad.err" || fail "message for '$conf': $(cat "$WORK/bad.err")"
    if grep -q "Stopped" "$WORK/bad.out"; then fail "Stopped after a failure"; fi
}
check_error "message-format Json" "Unknown message-format specified in config file: Json"
check_error "message-queue-size 0" "Invalid message-queue-size specified in config file: 0"
check_error "metrics-interval 0" "Invalid metrics-interval specified in config file: 0"
check_error "metrics-interval 4294967296" "Invalid metrics-interval specified in config file: 4294967296"
check_error "domain-suffix ..." "Unknown domain-suffix specified in config file: ..."
check_error "listener tcp 1.2.3.4 5" "Invalid listener specified in config file (Invalid protocol): tcp 1.2.3.4 5"
check_error "forwarder ipv4 127.0.0.1 0" "Invalid forwarder specified in config file (Invalid port): ipv4 127.0.0.1 0"

set +e
"$QX" run "$WORK/missing.conf" >"$WORK/m.out" 2>"$WORK/m.err"
rc=$?
set -e
[ "$rc" = 1 ] || fail "missing config status $rc"
grep -qF "[ERROR] Run failed: ifstream($WORK/missing.conf) failed to open: No such file or directory" "$WORK/m.err" \
    || fail "missing config message: $(cat "$WORK/m.err")"
# A directory is not an empty configuration.
set +e
"$QX" run "$WORK/conf" >"$WORK/d.out" 2>"$WORK/d.err"
rc=$?
set -e
[ "$rc" = 1 ] || fail "directory config status $rc"
grep -qxF "[ERROR] Run failed: ifstream($WORK/conf) failed to read: Is a directory" "$WORK/d.err" \
    || fail "directory config message: $(cat "$WORK/d.err")"
echo "cli: ok"
