#!/usr/bin/env bash
# The main job: builds coild and coilctl, starts coild on the built-in
# example chassis (private run directory, no root needed), turns loop
# detection on, watches VLAN blue every second with disable-port 5, cables a
# loop and shows, as it happens, the loop report, the disabled port, its
# re-enabling after 5 seconds and its disabling again while the loop stays;
# then removes the loop, shows the port staying up, prints the event log and
# stops the daemon. Takes about 25 seconds.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/prereqs.sh demo

# The demo's own build directory, configured without the tests and without
# -Werror; another one (scripts/valgrind-demo.sh) is used as configured.
build=${COIL_DEMO_BUILD_DIR:-build-demo}
build_log="$build.log"
quiet() {  # runs the command, shows its output only when it fails
    if ! "$@" >"$build_log" 2>&1; then
        tail -n 40 "$build_log" >&2
        echo "demo: build failed (the whole output is in $build_log)" >&2
        exit 1
    fi
}
echo "building coild and coilctl in $build/ ..."
if [[ ! -f "$build/CMakeCache.txt" ]]; then
    quiet cmake -S . -B "$build" -DCOIL_TESTS=OFF -DCOIL_WERROR=OFF
else
    quiet cmake -S . -B "$build"
fi
quiet cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target coild coilctl
rm -f "$build_log"

run=$(mktemp -d "${TMPDIR:-/tmp}/coil-demo.XXXXXX")
log="$run/coil.log"
pid=""
cleanup() {
    if [[ -n "$pid" ]] && kill -0 "$pid" 2>/dev/null; then kill -TERM "$pid"; wait "$pid" || true; fi
    rm -rf "$run"
}
trap cleanup EXIT

start=$(date +%s)
# COILD_WRAPPER and COILCTL_WRAPPER, when set, are command prefixes (such as
# valgrind and its options) for the two programs (scripts/valgrind-demo.sh).
read -r -a coild_wrapper <<<"${COILD_WRAPPER:-}"
read -r -a coilctl_wrapper <<<"${COILCTL_WRAPPER:-}"
ctl() { "${coilctl_wrapper[@]}" "$build/coilctl" --run-dir "$run" "$@"; }
say() { printf '\n[%2ds] %s\n' "$(( $(date +%s) - start ))" "$*"; }
run_ctl() { printf '  $ coilctl %s\n' "$*"; ctl "$@" | sed 's/^/    /'; }
seen=0
new_log() {  # the event log's lines since the last call
    local total
    total=$(wc -l <"$log")
    if (( total > seen )); then sed -n "$((seen + 1)),${total}p" "$log" | sed 's/^/    log: /'; fi
    seen=$total
}
wait_log() {  # PATTERN COUNT SECONDS: until the log has COUNT lines matching
    local deadline=$(( $(date +%s) + $3 ))
    until (( $(grep -c -- "$1" "$log" || true) >= $2 )); do
        if (( $(date +%s) >= deadline )); then echo "demo: gave up waiting for \"$1\"" >&2; exit 1; fi
        sleep 0.2
    done
}
port_line() { ctl lab ports | awk -v p="$1" '$1 == p' | sed 's/^/    /'; }

"${coild_wrapper[@]}" "$build/coild" --run-dir "$run" --state-dir "$run" --log "$log" >"$run/coild.out" &
pid=$!
for _ in $(seq 300); do ctl show >/dev/null 2>&1 && break; sleep 0.1; done

say "coild runs on the example chassis (4 slots of 24 ports; VLAN blue on 1:1-1:8, 2:1-2:4 and trunk 5:1)"
run_ctl enable
run_ctl configure blue interval 1 disable-port 5
run_ctl show services

say "Cabling 1:1 to 1:2, two ports of VLAN blue: a forwarding loop"
run_ctl lab cable 1:1 1:2
wait_log "DsblPortLoopDtect" 1 10
say "The probe came back: loop reported, its ingress port disabled"
new_log
port=$(grep -m1 -o 'Disabling port [0-9:]*' "$log" | awk '{print $3}')
run_ctl show disabled-ports
run_ctl show status blue
port_line "$port"

wait_log "EnblPortTimerExp" 1 10
say "5 seconds later the hold timer enables port $port again"
new_log
port_line "$port"

wait_log "DsblPortLoopDtect" 2 10
say "The cable is still there: the next probe comes back and the port is disabled again"
new_log
port_line "$port"

say "Removing the cable: the loop is gone"
run_ctl lab uncable 1:1
wait_log "EnblPortTimerExp" 2 10
new_log
sleep 3
say "3 seconds after its re-enabling port $port is still enabled: no probe comes back, nothing is disabled"
new_log
port_line "$port"
run_ctl show disabled-ports
run_ctl show

say "Stopping coild"
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
pid=""
echo
echo "--- event log ---"
cat "$log"
echo "--- coild exited with status $status ---"
exit "$status"
