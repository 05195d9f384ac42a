#!/usr/bin/env bash
# Instruction counts of the hot paths under callgrind: figures that do not
# move with the load of a shared machine, unlike wall or CPU time.
#   receive  the daemon's own path per frame of the 4,094-service storm:
#            the receive loop minus the simulated switch's reads; also the lines it
#            loads from beyond a 1 MiB L2 (this machine's), by callgrind's
#            cache model (which ignores prefetches: it counts every line)
#   lookup   findCoilServiceIdNode and findCoilServiceNode per call (behind
#            the benchmark's own call of each)
#   tick     one full-chassis tick (one second of virtual time)
# Usage: scripts/bench-callgrind.sh (after scripts/bench.sh built build-bench)
set -euo pipefail
cd "$(dirname "$0")/.."
bench=build-bench/bench
out=$(mktemp -d "${TMPDIR:-/tmp}/coil-callgrind.XXXXXX")
trap 'rm -rf "$out"' EXIT

# Runs a benchmark under callgrind collecting only inside the function.
profile() {  # file, function pattern, benchmark binary, filter, more valgrind options
    valgrind --tool=callgrind --callgrind-out-file="$out/$1" --collect-atstart=no --toggle-collect="$2" ${5:-} \
        "$bench/$3" --benchmark_filter="$4" --benchmark_min_time=0.01 >/dev/null 2>&1
}

# Inclusive instructions (or the events named) and calls of a function in a profile.
cost() {  # file, function name as callgrind_annotate prints it (a prefix), events to add up
    callgrind_annotate --threshold=100 --inclusive=yes --tree=caller --show="${3:-Ir}" "$out/$1" 2>/dev/null |
        awk -v f="$2" -v n="$(tr ',' ' ' <<<"${3:-Ir}" | wc -w)" '
        /^ *$/ { calls = 0; next }
        index($0, " < ") { if (match($0, /\(([0-9,]+)x\)/)) { c = substr($0, RSTART + 1, RLENGTH - 3); gsub(",", "", c); calls += c } }
        index($0, " *  ") && index($0, f) && !done {
            gsub(/\([^)]*%\)/, ""); sum = 0
            for (i = 1; i <= n; i++) { v = $i; gsub(",", "", v); if (v != ".") sum += v }
            ir = sum; total = calls; done = 1 }
        END { printf "%d %d\n", ir, total }'
}

per_call() { awk '{ if ($2 > 0) printf "%.0f", $1 / $2; else printf "?" }'; }

profile receive '*receive(unsigned long)' bench_receive '^BM_StormReceivePath$' \
    "--cache-sim=yes --D1=32768,8,64 --I1=32768,8,64 --LL=1048576,16,64"
# The whole program is optimised as one, so rxCoilPdu may be inlined into
# the benchmark's loop: frames are counted by the simulated switch's reads
# (a virtual call, never inlined).
read -r rx_ir _ < <(cost receive "(anonymous namespace)::receive(")
read -r read_ir rx_calls < <(cost receive "mira::sim::SimSwitch::recvKypkt(")
read -r rx_ll _ < <(cost receive "(anonymous namespace)::receive(" DLmr,DLmw)
read -r read_ll _ < <(cost receive "mira::sim::SimSwitch::recvKypkt(" DLmr,DLmw)
echo "receive, storm of 4,094 services: $(( (rx_ir - read_ir) / rx_calls )) instructions per frame" \
     "($(( rx_ir / rx_calls )) with the read, $(( read_ir / rx_calls )) the read alone; $rx_calls frames)," \
     "$(awk -v a="$rx_ll" -v b="$read_ll" -v n="$rx_calls" 'BEGIN { printf "%.1f", (a - b) / n }') lines" \
     "beyond L2 per frame ($(awk -v b="$read_ll" -v n="$rx_calls" 'BEGIN { printf "%.1f", b / n }') the read alone)"

profile lookup_id '*lookupById*' bench_lookup '^BM_LookupById$'
echo "lookup by identifier: $(cost lookup_id "(anonymous namespace)::lookupById(" | per_call) instructions per call"
profile lookup_key '*lookupByKey*' bench_lookup '^BM_LookupByKey$'
echo "lookup by key: $(cost lookup_key "(anonymous namespace)::lookupByKey(" | per_call) instructions per call"

profile tick '*oneTick*' bench_tick '^BM_FullChassisTick$'
echo "full-chassis tick: $(cost tick "(anonymous namespace)::oneTick(" | per_call) instructions per tick"
