#!/usr/bin/env bash
# Builds the Debian package from a build tree with CPack, checks its
# contents and control data, installs it with dpkg into a throwaway root
# (the maintainer scripts run with DPKG_ROOT, so the program registers its
# unit in a temporary unit directory), checks the installed programs and
# removes and purges it again. Nothing is installed on this machine.
# Usage: package_test.sh <build directory>. Exit 77: skipped.
set -euo pipefail

build=${1:?usage: package_test.sh <build directory>}
if [[ $(id -u) -ne 0 ]]; then
  echo "SKIP: the package test needs root (dpkg); run it as root or inside unshare -r"
  exit 77
fi
# The maintainer scripts run the program; like every test that runs it, this
# one stays inside a private network namespace (only "lo" in /proc/net/dev).
if [[ $(grep -c ':' /proc/net/dev) -ne 1 ]] || ! grep -q '^ *lo:' /proc/net/dev; then
  echo "SKIP: not in a private network namespace; run under unshare -rn (see scripts/test.sh)"
  exit 77
fi
for tool in cpack dpkg dpkg-deb; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed"
    exit 77
  fi
done

work=$(mktemp -d /tmp/kvx-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# 1. Build the package.
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack -G DEB"; }
debs=("$work"/out/kvx-tcp-server_*.deb)
[[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || fail "no single package in $work/out"
deb=${debs[0]}
echo "built $(basename "$deb")"

# 2. Control data and contents.
info=$(dpkg-deb -I "$deb")
for want in "Package: kvx-tcp-server" "Version: 1.0.0.1" "libsystemd0" \
  "libodbc2 | unixodbc" "tdsodbc" " postinst" " prerm" " postrm"; do
  grep -qF -- "$want" <<<"$info" || fail "dpkg-deb -I lacks '$want':"$'\n'"$info"
done
contents=$(dpkg-deb -c "$deb")
for want in "^-rwxr-xr-x root/root .* \./opt/kavero/KvxTCPServer$" \
  "^-rwxr-xr-x root/root .* \./usr/bin/kvx-send$" \
  "^-rwxr-xr-x root/root .* \./usr/bin/kvx-monitor$"; do
  grep -qE -- "$want" <<<"$contents" || fail "dpkg-deb -c lacks $want:"$'\n'"$contents"
done

# 3. Install into a throwaway root with its own dpkg database.
root=$work/root
units=$work/units
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" \
  "$root/var/lib/dpkg/triggers" "$units"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
export KVX_SYSTEMD_UNIT_DIR=$units
dpkg_root() {
  dpkg --root="$root" --log="$work/dpkg.log" --force-script-chrootless \
    --force-depends --force-not-root "$@"
}
dpkg_root -i "$deb" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "dpkg -i"; }
dpkg_root -s kvx-tcp-server | grep -q '^Status: install ok installed' ||
  fail "not installed"

unit=$units/KaveroTCPIP.service
[[ -f $unit ]] || fail "postinst wrote no unit into $units"
grep -qx "ExecStart=$root/opt/kavero/KvxTCPServer" "$unit" ||
  fail "unit has the wrong ExecStart:"$'\n'"$(cat "$unit")"
[[ -d $root/opt/kavero/KvxTCPIP/Logs ]] || fail "no working tree beside the program"

"$root/opt/kavero/KvxTCPServer" -HELP | grep -q '^Usage: KvxTCPServer' ||
  fail "KvxTCPServer -HELP"
"$root/usr/bin/kvx-send" --help | grep -q '^Usage: kvx-send' || fail "kvx-send --help"
"$root/usr/bin/kvx-monitor" --help | grep -q '^Usage: kvx-monitor' ||
  fail "kvx-monitor --help"

# 4. Remove: prerm uninstalls the unit; purge removes the working tree.
dpkg_root -r kvx-tcp-server >"$work/remove.log" 2>&1 ||
  { cat "$work/remove.log"; fail "dpkg -r"; }
[[ ! -e $unit ]] || fail "prerm left the unit $unit"
[[ ! -e $root/opt/kavero/KvxTCPServer && ! -e $root/usr/bin/kvx-send ]] ||
  fail "dpkg -r left the programs"
dpkg_root -P kvx-tcp-server >"$work/purge.log" 2>&1 ||
  { cat "$work/purge.log"; fail "dpkg -P"; }
[[ ! -e $root/opt/kavero ]] || fail "purge left $(find "$root/opt/kavero")"
if dpkg_root -s kvx-tcp-server >/dev/null 2>&1; then fail "still known to dpkg"; fi
echo "PASS: package built, checked, installed, removed and purged"
