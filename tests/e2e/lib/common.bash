# Shared helpers of the end-to-end tests. Each test sources this file with
# the daemon binary as $1; every process a test starts is stopped on exit.
set -euo pipefail
# Under pipefail a pipe ending in "grep -q" fails when grep quits before its
# writer is done (SIGPIPE): such pipes end in "grep ... >/dev/null" instead.

QX=$(readlink -f "$1")
# Lower case only: the daemon lower-cases Unix socket paths of listener entries.
WORK=$(mktemp -u /tmp/qx-e2e.XXXXXXXX | tr "A-Z" "a-z")
mkdir -p "$WORK"
PIDS=()

cleanup() {
    local pid
    for pid in "${PIDS[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${PIDS[@]}"; do
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$pid" 2>/dev/null || true
    done
    if [ "${KEEP_WORK:-}" = "" ]; then rm -rf "$WORK"; fi
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    for f in "$WORK"/*.log; do [ -f "$f" ] && { echo "--- $f" >&2; tail -n 40 "$f" >&2; }; done
    exit 1
}

# Skips the test (ctest reads 77 as skipped) when a peer tool is missing.
need() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool not installed"; exit 77; }
    done
}

# A TCP port nobody listens on right now.
free_port() {
    python3 - <<'PY' 2>/dev/null || echo $((20000 + RANDOM % 20000))
import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])
s.close()
PY
}

# wait_for SECONDS COMMAND...: polls until the command succeeds.
wait_for() {
    local secs=$1; shift
    local i
    for i in $(seq $((secs * 10))); do
        if "$@" >/dev/null 2>&1; then return 0; fi
        sleep 0.1
    done
    return 1
}

# start NAME COMMAND...: runs a process in the background, logging to $WORK/NAME.log.
start() {
    local name=$1; shift
    "$@" >"$WORK/$name.log" 2>&1 &
    PIDS+=($!)
    LAST_PID=$!
}

# stop_pid PID: SIGTERM and wait up to 30 s for the end.
stop_pid() {
    local pid=$1
    kill -TERM "$pid" 2>/dev/null || return 0
    for _ in $(seq 300); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    return 1
}

# tcp_listening PORT / unix_listening PATH: a socket listens there (seen
# without connecting, which would open a stream). A Unix socket file exists
# from its bind on, before it listens. A TCP server may listen on IPv6 too.
TCP_TABLES=$(ls /proc/net/tcp /proc/net/tcp6 2>/dev/null)
tcp_listening() {
    # shellcheck disable=SC2086
    awk -v port="$(printf ':%04X' "$1")" '$4 == "0A" && substr($2, length($2) - 4) == port { found = 1 }
        END { exit !found }' $TCP_TABLES
}
unix_listening() {
    awk -v path="$1" '$4 == "00010000" && $8 == path { found = 1 } END { exit !found }' /proc/net/unix
}

# tcp_served PORT / unix_served PATH: the server at PORT or PATH has closed
# every connection it took, so it has read all that was sent to it.
# (Connected sockets on PORT, or accepted ones named PATH, are gone.)
tcp_served() {
    # shellcheck disable=SC2086
    awk -v port="$(printf ':%04X' "$1")" '($4 == "01" || $4 == "08") && substr($2, length($2) - 4) == port { open = 1 }
        END { exit open }' $TCP_TABLES
}
unix_served() {
    awk -v path="$1" '$6 == "03" && $8 == path { open = 1 } END { exit open }' /proc/net/unix
}

# sanitized: the daemon under test is a sanitizer build, which starts, stops
# and serves several times slower.
sanitized() {
    ldd "$QX" 2>/dev/null | grep -E "lib(a|t|ub)san" >/dev/null
}

# The machine's own group for Unix socket files.
GROUP=$(id -gn)

count_lines() { [ -f "$1" ] && wc -l <"$1" || echo 0; }

# wait_drained LOG SECS [RECEIVERS]: waits until RECEIVERS (default 1)
# connections have ended and a later metrics report shows an empty queue, so
# a stop loses nothing still queued. Needs "metrics-interval 1". The first
# report after the end may hold counts read before it: the second one counts.
# drained LOG RECEIVERS [PATTERN]: that state; with PATTERN, an end is any
# line matching it instead of "Is finished".
drained() {
    awk -v want="$2" -v end="${3:-Is finished}" '$0 ~ end {n++; if (n >= want) {f = NR; m = 0; ok = 0}}
        f && NR > f && /Metrics:/ {if (++m >= 2 && /eventsQueued=0[] ]/) ok = 1} END {exit !ok}' "$1"
}
wait_drained() {
    wait_for "$2" drained "$1" "${3:-1}"
}
