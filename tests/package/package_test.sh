#!/usr/bin/env bash
# Builds the Debian package from a build tree with CPack, checks its
# contents and control data, installs it with dpkg into a throwaway root
# (the maintainer scripts run with DPKG_ROOT, so the program registers its
# unit in a temporary unit directory), checks the installed programs and
# removes and purges it again. Nothing is installed on this machine.
# dpkg runs under fakeroot: the namespace of the test maps no user but root,
# so the ownership that postinst gives the user kavero is recorded by
# fakeroot and read back from it.
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
for tool in cpack dpkg dpkg-deb fakeroot systemd-sysusers systemd-analyze; do
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
  "^-rw-r--r-- root/root .* \./usr/lib/sysusers\.d/kvx-tcp-server\.conf$" \
  "^-rwxr-xr-x root/root .* \./usr/bin/kvx-send$" \
  "^-rwxr-xr-x root/root .* \./usr/bin/kvx-monitor$"; do
  grep -qE -- "$want" <<<"$contents" || fail "dpkg-deb -c lacks $want:"$'\n'"$contents"
done

# 3. Install into a throwaway root with its own dpkg database.
root=$work/root
units=$work/units
mkdir -p "$root/etc" "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" \
  "$root/var/lib/dpkg/triggers" "$units"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
export KVX_SYSTEMD_UNIT_DIR=$units
state=$work/fakeroot.state
touch "$state"
# Under the address sanitizer the maintainer scripts' program runs with
# fakeroot's preloaded library ahead of the sanitizer's runtime, which the
# sanitizer refuses by default.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
dpkg_root() {
  FAKEROOTDONTTRYCHOWN=1 fakeroot -i "$state" -s "$state" -- \
    dpkg --root="$root" --log="$work/dpkg.log" --force-script-chrootless \
    --force-depends --force-not-root "$@"
}
# Owner "uid:gid" of a path as postinst left it.
owner() { fakeroot -i "$state" -- stat -c '%u:%g' "$1"; }
dpkg_root -i "$deb" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "dpkg -i"; }
dpkg_root -s kvx-tcp-server | grep -q '^Status: install ok installed' ||
  fail "not installed"

unit=$units/KaveroTCPIP.service
[[ -f $unit ]] || fail "postinst wrote no unit into $units"
grep -qx "ExecStart=$root/opt/kavero/KvxTCPServer" "$unit" ||
  fail "unit has the wrong ExecStart:"$'\n'"$(cat "$unit")"
[[ -d $root/opt/kavero/KvxTCPIP/Logs ]] || fail "no working tree beside the program"

# The user kavero, the unit that runs the service as kavero, its sandbox's
# score, and the working tree and configuration given to kavero.
kavero=$(awk -F: '$1 == "kavero" { print $3 ":" $4 }' "$root/etc/passwd")
[[ -n $kavero && $kavero != 0:* ]] ||
  fail "postinst created no system user kavero:"$'\n'"$(cat "$root/etc/passwd")"
grep -q '^kavero:' "$root/etc/group" || fail "postinst created no group kavero"
grep -qx "User=kavero" "$unit" && grep -qx "Group=kavero" "$unit" ||
  fail "the unit does not run the service as kavero:"$'\n'"$(cat "$unit")"
grep -qx "ReadWritePaths=-$root/opt/kavero/KvxTCPIP -$root/opt/kavero/KvxTCPConfig.xml -$root/opt/kavero/KvxTCPData" "$unit" ||
  fail "the unit has the wrong ReadWritePaths:"$'\n'"$(cat "$unit")"
security=$(systemd-analyze security --offline=true "$unit" 2>&1) ||
  fail "systemd-analyze security:"$'\n'"$security"
score=$(sed -n 's/^.*Overall exposure level for [^:]*: \([0-9.]*\).*$/\1/p' <<<"$security")
[[ -n $score ]] || fail "no exposure level in:"$'\n'"$security"
awk -v s="$score" 'BEGIN { exit !(s <= 2.0) }' ||
  fail "exposure $score is above 2.0:"$'\n'"$security"
echo "unit exposure $score"
for path in KvxTCPIP KvxTCPIP/Logs KvxTCPIP/Config/readme.xml KvxTCPIP/XML \
  KvxTCPConfig.xml; do
  [[ $(owner "$root/opt/kavero/$path") == "$kavero" ]] ||
    fail "$path is owned by $(owner "$root/opt/kavero/$path"), not kavero ($kavero)"
done
[[ $(stat -c '%a' "$root/opt/kavero/KvxTCPConfig.xml") == 640 ]] ||
  fail "the configuration is readable by everyone"
[[ $(owner "$root/opt/kavero") == 0:0 && $(owner "$root/opt/kavero/KvxTCPServer") == 0:0 ]] ||
  fail "the program or its directory is not root's"

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
[[ ! -e $root/usr/lib/sysusers.d/kvx-tcp-server.conf ]] || fail "purge left the sysusers.d entry"
if dpkg_root -s kvx-tcp-server >/dev/null 2>&1; then fail "still known to dpkg"; fi
echo "PASS: package built, checked, installed, removed and purged"
