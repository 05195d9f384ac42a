#!/usr/bin/env bash
# coild on a real Linux bridge (root): in a network namespace of its own,
# bridge br0 with ports p1..p3 (veth pairs), coild --linux watching it
# every second with disable-port 5; then a second bridge "out" joins the far
# ends of p1 and p2, closing a real loop. Shows the loop found, the port's
# bridge state disabled in the kernel, re-enabled after 5 seconds and
# disabled again while the loop stays; then SIGTERM puts every port state
# and the probe's multicast entry back. The namespace goes with the script.
# Takes about 20 seconds after the build.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ $(id -u) -ne 0 ]]; then
    echo "demo-linux: needs root (it makes a network namespace and bridges in it)" >&2
    exit 1
fi
if [[ "${COIL_DEMO_NETNS:-}" != 1 ]]; then
    scripts/prereqs.sh demo
    command -v bridge >/dev/null || { echo "demo-linux: needs iproute2 (ip, bridge)" >&2; exit 1; }
    build=${COIL_DEMO_BUILD_DIR:-build-demo}
    echo "building coild and coilctl in $build/ ..."
    [[ -f "$build/CMakeCache.txt" ]] || cmake -S . -B "$build" -DCOIL_TESTS=OFF -DCOIL_WERROR=OFF >"$build.log" 2>&1
    cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target coild coilctl >"$build.log" 2>&1 ||
        { tail -n 40 "$build.log" >&2; exit 1; }
    rm -f "$build.log"
    # Everything below runs in a new network namespace, gone when it ends.
    exec env COIL_DEMO_NETNS=1 COIL_DEMO_BUILD_DIR="$build" unshare -n "$0" "$@"
fi

build=$COIL_DEMO_BUILD_DIR
run=$(mktemp -d "${TMPDIR:-/tmp}/coil-demo-linux.XXXXXX")
pid=""
cleanup() {
    if [[ -n "$pid" ]] && kill -0 "$pid" 2>/dev/null; then kill -TERM "$pid"; wait "$pid" || true; fi
    rm -rf "$run"
}
trap cleanup EXIT
ctl() { "$build/coilctl" --run-dir "$run" "$@"; }
say() { printf '\n== %s\n' "$*"; }
states() { bridge link show | sed -nE 's/^[0-9]+: (p[0-9])@[^ ]+ .* master br0 state ([a-z]+) .*/    \1 \2/p'; }

say "a namespace of our own: br0 with p1 p2 p3, IPv6 off (no chatter on the loop)"
sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
ip link set lo up
ip link add br0 type bridge
ip link set br0 up
for i in 1 2 3; do
    ip link add "p$i" type veth peer name "h$i"
    ip link set "p$i" master br0
    ip link set "p$i" up
    ip link set "h$i" up
done
states

say "coild --linux --bridge br0"
"$build/coild" --linux --bridge br0 --run-dir "$run" --state-dir "$run" --log "$run/coil.log" &
pid=$!
for _ in $(seq 50); do ctl show >/dev/null 2>&1 && break; sleep 0.1; done
ctl enable
ctl configure br0 interval 1 disable-port 5
ctl show services

say "closing a loop: bridge 'out' joins h1 and h2 (p1 and p2 now see each other)"
ip link add out type bridge
ip link set h1 master out
ip link set out up
sleep 1
ip link set h2 master out
sleep 2
ctl show disabled-ports
states
bridge mdb show dev br0 | sed 's/^/    /'

say "after the 5-second hold: enabled again, and the loop found again"
sleep 5
grep -E "LOOP DETECTED|Disabling port|Enabling port" "$run/coil.log" | sed 's/^/    /'

say "SIGTERM: every port state and the multicast entry put back"
kill -TERM "$pid"
wait "$pid" || true
pid=""
states
echo "    multicast entries on br0: $(bridge mdb show dev br0 | grep -c permanent || true)"
