#!/usr/bin/env bash
# System-level measurements through real coild and coilctl processes, both
# against one coild holding a full chassis (4,094 VLANs, 12,282 services;
# client "1" polls every second and disables ports, "2" and a client daemon
# "ospf" poll every 600 seconds):
#   control  `coilctl show services`: wall time of 20 runs (median), and the
#            CPU time of coild and of coilctl in them; baseline `coilctl show`
#            (one small reply) the same way
#   latency  real time from `coilctl lab cable` to the "Disabling port" line,
#            the cable made at a random phase of the one-second tick, 30 loops;
#            against the poll interval (a loop waits half of it on average)
# Usage: scripts/bench-system.sh [control|latency|all]
set -euo pipefail
cd "$(dirname "$0")/.."
what=${1:-all}

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DCOIL_BENCH=ON -DCOIL_TESTS=OFF >/dev/null
cmake --build build-bench -j "$(nproc 2>/dev/null || echo 2)" --target coild coilctl >/dev/null
coild=$PWD/build-bench/coild
coilctl=$PWD/build-bench/coilctl

work=$(mktemp -d "${TMPDIR:-/tmp}/coil-bench.XXXXXX")
pid=""
cleanup() {
    if [[ -n "$pid" ]]; then kill -TERM "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

now_ms() { date +%s%3N; }

start_coild() {  # run-dir, then coild's options
    local run=$1
    shift
    "$coild" --run-dir "$run" --state-dir "$run" --log "$run/coil.log" "$@" &
    pid=$!
    for _ in $(seq 600); do
        "$coilctl" --run-dir "$run" show >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    echo "coild did not answer" >&2
    return 1
}

stop_coild() {
    kill -TERM "$pid"
    wait "$pid" || true
    pid=""
}

# coild's CPU seconds so far (user + system), from /proc.
coild_cpu() { awk '{printf "%.3f", ($14 + $15) / '"$(getconf CLK_TCK)"'}' "/proc/$pid/stat"; }

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

full_chassis() {
    local run=$work/full
    mkdir -p "$run"
    chmod 700 "$run"
    # The full chassis: 4,094 VLANs of 8 ports on slots 1-3 of 48 ports.
    {
        echo "chassis mac 02:00:00:c0:11:01 slots 3 first 1 ports 48"
        for i in $(seq 4094); do
            ports=""
            for k in $(seq 0 7); do
                index=$(( ((i - 1) * 8 + k) % 144 ))
                ports+="${ports:+,}$(( index / 48 + 1 )):$(( index % 48 + 1 ))"
            done
            echo "vlan v$i instance $i tag $i ports $ports"
        done
    } > "$work/full.topo"
    # Clients "1" and "2" come back from saved configuration; a third client's
    # services are configured live.
    {
        echo "coilGlobalCfg enable=true disablePortWaitTime=2"
        for i in $(seq 4094); do
            echo "coilServiceNode vlanIfInstance=$i clientIdentifier=1 vlan=v$i interval=1 retry=0 action=3 pollType=2 disablePort=1 disablePortDuration=0"
            echo "coilServiceNode vlanIfInstance=$i clientIdentifier=2 vlan=v$i interval=600 retry=0 action=3 pollType=2"
        done
    } > "$run/coil.conf"
    start_coild "$run" --topology "$work/full.topo"
    for i in $(seq 4094); do
        "$coilctl" --run-dir "$run" set coilServiceNode clientIdentifier=ospf vlanIfInstance=0 "vlan=v$i" \
            interval=600 rowStatus=createAndGo >/dev/null
    done
    echo "services: $("$coilctl" --run-dir "$run" show services | grep -c . || true) lines in show services"
}

# One timed coilctl run: wall ms, coilctl CPU ms, coild CPU ms (coild's
# includes its one-second polls during the run).
timed_run() {  # output file, then coilctl's arguments
    local file=$1
    shift
    local t0 c0 out
    t0=$(now_ms)
    c0=$(coild_cpu)
    # coilctl's own CPU time, from bash's times of its children.
    out=$( { TIMEFORMAT='%U %S'; time "$coilctl" --run-dir "$work/full" "$@" > "$file"; } 2>&1 )
    echo "$(( $(now_ms) - t0 )) $(awk '{printf "%d", ($1 + $2) * 1000}' <<< "$out")" \
         "$(awk -v a="$c0" -v b="$(coild_cpu)" 'BEGIN {printf "%d", (b - a) * 1000}')"
}

# 20 runs of a coilctl command: each column's values and their medians.
twenty() {  # label, then coilctl's arguments
    local label=$1
    shift
    local wall=() ctl=() daemon=()
    for _ in $(seq 20); do
        read -r w c d < <(timed_run "$work/out.txt" "$@")
        wall+=("$w") ctl+=("$c") daemon+=("$d")
    done
    echo "$label: $(wc -l < "$work/out.txt") lines"
    echo "  wall ms:        ${wall[*]}"
    echo "  coilctl CPU ms: ${ctl[*]}"
    echo "  coild CPU ms:   ${daemon[*]}"
    echo "  median ms: wall $(printf '%s\n' "${wall[@]}" | median)  coilctl CPU $(printf '%s\n' "${ctl[@]}" | median)" \
         " coild CPU $(printf '%s\n' "${daemon[@]}" | median)"
}

control() {
    # Baseline: `coilctl show`, one small reply (process start, connection,
    # one request), in the same run.
    twenty "show (baseline)" show
    twenty "show services" show services
}

latency() {
    local run=$work/full
    local times=()
    for _ in $(seq 30); do
        local before
        before=$(grep -c "Disabling port" "$run/coil.log" || true)
        # The loop appears at a random phase of the daemon's one-second tick.
        sleep "$(awk -v r="$RANDOM" 'BEGIN {printf "%.3f", r / 32768}')"
        local t0
        t0=$(now_ms)
        "$coilctl" --run-dir "$run" lab cable 1:1 1:2 >/dev/null
        while [[ $(grep -c "Disabling port" "$run/coil.log" || true) -le $before ]]; do sleep 0.005; done
        times+=($(( $(now_ms) - t0 )))
        # Back to a loop-free switch with both ports enabled.
        "$coilctl" --run-dir "$run" lab uncable 1:1 >/dev/null
        "$coilctl" --run-dir "$run" lab port enable 1:1 >/dev/null
        "$coilctl" --run-dir "$run" lab port enable 1:2 >/dev/null
        sleep 1.2
    done
    echo "detection latency ms: ${times[*]}"
    printf '%s\n' "${times[@]}" | sort -n |
        awk '{a[NR]=$1} END {m = a[int((NR+1)/2)]; printf "median ms: %d (%.2f of the 1 s interval)  max ms: %d (%.2f)\n", m, m / 1000, a[NR], a[NR] / 1000}'
}

case $what in
    control | latency | all) ;;
    *) echo "usage: $0 [control|latency|all]" >&2; exit 2 ;;
esac
full_chassis
[[ $what == latency ]] || control
[[ $what == control ]] || latency
stop_coild
