#!/usr/bin/env bash
# Installs every Debian package the project needs to build, run and test,
# and registers the FreeTDS ODBC driver. Run as root.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libasio-dev unixodbc-dev tdsodbc libsystemd-dev
  libgtest-dev libgmock-dev python3
  libcivetweb-dev prometheus chromium curl
  iproute2 util-linux clang-format
  clang libclang-rt-14-dev
  systemd fakeroot  # systemd-analyze, systemd-sysusers; the package test
  libssl-dev openssl  # the TLS listener; certificates in tests
  haproxy           # the balancer recipe in deploy/haproxy and its e2e test
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed'; then
    missing+=("$p")
  fi
done

as_root() {
  if [[ $EUID -eq 0 ]]; then
    "$@"
  elif command -v sudo >/dev/null; then
    sudo "$@"
  else
    echo "deps.sh: run as root to install: ${missing[*]}" >&2
    exit 1
  fi
}

if ((${#missing[@]})); then
  echo "deps.sh: installing ${missing[*]}"
  as_root apt-get update
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y "${packages[@]}"
else
  echo "deps.sh: all ${#packages[@]} packages are installed."
fi

# The database link asks unixODBC for the driver named FreeTDS.
if ! odbcinst -q -d 2>/dev/null | grep -qx '\[FreeTDS\]'; then
  driver=$(dpkg-query -L tdsodbc | grep -m1 '/libtdsodbc\.so$' || true)
  template=$(mktemp)
  trap 'rm -f "$template"' EXIT
  printf '[FreeTDS]\nDescription=FreeTDS ODBC driver\nDriver=%s\n' \
    "${driver:-libtdsodbc.so}" >"$template"
  as_root odbcinst -i -d -f "$template"
  echo "deps.sh: registered the FreeTDS ODBC driver."
fi
