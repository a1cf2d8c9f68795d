#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the benchmarks and the
# fuzz targets need.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  zlib1g libssl3 libssl-dev libsqlite3-dev sqlite3 nlohmann-json3-dev
  # TLS: the openssl tool makes certificates (README) and, with Python's ssl
  # module, is a client the TLS tests check the server against.
  openssl python3
  # The status dialog's terminal panel is tested on a real terminal.
  tmux
  # The status page is loaded by a real browser (headless Chromium).
  chromium
  # The ODBC driver: unixODBC's Driver Manager and installer library, isql and
  # odbcinst to register and try it, and pyodbc for /usr/bin/python3 in its tests.
  unixodbc unixodbc-dev odbcinst python3-pyodbc
  # Line editing and history at the tmbcli sql prompt (BSD editline).
  libedit-dev
  # systemd-analyze checks the systemd unit of resources/.
  systemd
  # The fuzz targets (scripts/fuzz.sh): clang, and the runtime of
  # -fsanitize=fuzzer, which only clang's recommends would bring.
  clang libclang-rt-14-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
