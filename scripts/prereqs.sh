#!/usr/bin/env bash
# Installs the Debian packages that the demo or the tests need, when some
# are missing and this user may install them (root, or sudo without a
# password); otherwise names them and fails.
#   scripts/prereqs.sh demo   building and running coild and coilctl
#   scripts/prereqs.sh test   building and running every test
set -euo pipefail

demo=(g++ make cmake pkg-config zlib1g-dev nlohmann-json3-dev libsnmp-dev libsystemd-dev libmnl-dev)
# snmptrapd: the trap test; systemd: systemd-analyze
# for the unit file; man-db: the manual pages' check; libxml2-utils and
# python3: xmllint and json.tool check coilctl's output; iproute2 and
# tcpdump: the Linux bridge tests build bridges and watch a port.
test=("${demo[@]}" libgtest-dev libgmock-dev snmptrapd systemd man-db libxml2-utils python3 iproute2 tcpdump)

case "${1:-}" in
    demo) wanted=("${demo[@]}") ;;
    test) wanted=("${test[@]}") ;;
    *) echo "usage: scripts/prereqs.sh demo|test" >&2; exit 2 ;;
esac

missing=()
for p in "${wanted[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then missing+=("$p"); fi
done
(( ${#missing[@]} == 0 )) && exit 0

if [[ $(id -u) -eq 0 ]]; then
    sudo=()
elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
    sudo=(sudo)
else
    echo "missing packages: ${missing[*]}" >&2
    echo "install them with: sudo apt-get install ${missing[*]}" >&2
    exit 1
fi
echo "installing ${missing[*]} (apt-get)"
export DEBIAN_FRONTEND=noninteractive
log=$(mktemp)
if ! { "${sudo[@]}" apt-get update -q && "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
    tail -n 30 "$log" >&2
    rm -f "$log"
    echo "prereqs: apt-get failed" >&2
    exit 1
fi
rm -f "$log"
