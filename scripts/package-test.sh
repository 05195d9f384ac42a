#!/usr/bin/env bash
# Builds the Debian package (cpack) and installs it with dpkg -i into a clean
# Debian 12 root made by debootstrap (minbase, with the package's
# dependencies); then runs the installed coild there (chroot) and asks it
# with the installed coilctl. Needs root and debootstrap; downloads about
# 60 MB the first time and takes a few minutes; the root is kept in
# build-package/ for the next run.
#   scripts/package-test.sh [--fresh]   --fresh: make the root anew
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ $(id -u) -ne 0 ]]; then echo "package-test: needs root (debootstrap, chroot)" >&2; exit 1; fi
command -v debootstrap >/dev/null || { echo "package-test: debootstrap is not installed" >&2; exit 1; }

dir=build-package
root=$PWD/$dir/debian12
cmake -S . -B "$dir" -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCOIL_TESTS=OFF >/dev/null
cmake --build "$dir" -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
(cd "$dir" && cpack -G DEB >/dev/null)
deb=$(ls -t "$dir"/coil_*.deb | head -n 1)
echo "package: $deb ($(du -k "$deb" | cut -f1) KiB)"
dpkg-deb -f "$deb" Package Version Depends

# The package's dependencies by name (the first of any alternatives).
depends=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/[[:space:]]//g' | grep -v '^$' | paste -sd, -)
if [[ "${1:-}" == "--fresh" || ! -f "$root/.complete" || "$(cat "$root/.complete")" != "$depends" ]]; then
    rm -rf "$root"
    echo "debootstrap: Debian 12 minbase with $depends ..."
    start=$(date +%s)
    debootstrap --variant=minbase --include="$depends" bookworm "$root" >"$dir/debootstrap.log" 2>&1 ||
        { tail -n 30 "$dir/debootstrap.log" >&2; exit 1; }
    echo "debootstrap: $(( $(date +%s) - start )) s"
    echo "$depends" >"$root/.complete"
fi

in_root() { chroot "$root" "$@"; }
pid=""
cleanup() {
    if [[ -n "$pid" ]] && kill -0 "$pid" 2>/dev/null; then kill -TERM "$pid"; wait "$pid" || true; fi
    in_root dpkg --purge coil >/dev/null 2>&1 || true
}
trap cleanup EXIT

cp "$deb" "$root/tmp/coil.deb"
in_root dpkg -i /tmp/coil.deb
in_root dpkg-query -W -f='${Package} ${Version} ${Status}\n' coil | grep -q "install ok installed"
for f in /usr/sbin/coild /usr/bin/coilctl /usr/bin/coil-client /usr/lib/systemd/system/coild.service \
         /etc/default/coild /usr/share/man/man8/coild.8.gz /usr/share/snmp/mibs/COIL-MIB.txt; do
    [[ -e "$root$f" || -e "$root${f%.gz}" ]] || { echo "package-test: $f is missing" >&2; exit 1; }
done

# The service's own directories and options, as the unit starts it.
mkdir -p "$root/run/coil"
chroot "$root" /usr/sbin/coild --run-dir /run/coil --state-dir /var/lib/coil --log /var/log/coild.log &
pid=$!
for _ in $(seq 100); do in_root coilctl show >/dev/null 2>&1 && break; sleep 0.1; done
in_root coilctl enable
in_root coilctl configure blue interval 1
in_root coilctl save
in_root coilctl show services
[[ -s "$root/var/lib/coil/coil.conf" ]] || { echo "package-test: no saved configuration" >&2; exit 1; }
kill -TERM "$pid"
wait "$pid"
pid=""
echo "package-test: coil installs with dpkg -i on Debian 12 and coild answers coilctl"
