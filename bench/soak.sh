#!/usr/bin/env bash
# soak.sh: load and soak of the real server on the loopback address, bounded
# in time (about two and a half minutes with the defaults, the build aside).
#
#   bench/soak.sh [BUILD_DIR]
#
# Builds tmbsqlsvr, tmbadmin and the driver bench/soak.cc (Release) into
# BUILD_DIR (default build-soak), starts the server on a free port with
# registry files of its own and a catalog of two shared data files, and runs
# the driver: two soaks, each 5,000 connections held at once, 64 clients
# mixing reads, writes and transactions, and clients killed mid-request and
# mid-transaction. Then the server is stopped, every file is checked with
# `tmbadmin check`, and its record count must be what the clients were told.
# Exit 0 when every check held.
#
# Settable through the environment: SOAK_CONNECTIONS (5000), SOAK_CLIENTS
# (64), SOAK_SECONDS (60, the mixing time of each soak), SOAK_KILLS (16),
# SOAK_SOAKS (2), SOAK_RSS_TOLERANCE_KIB (4096).
#
# The server is started with a soft descriptor limit of 1024 and raises it
# itself; its hard limit must leave room for the connections (a quarter of
# it after 64 descriptors, docs/security.md), so the script raises its own
# hard limit first where it may (as root), and says so when it cannot.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-soak}
connections=${SOAK_CONNECTIONS:-5000}
clients=${SOAK_CLIENTS:-64}
seconds=${SOAK_SECONDS:-60}
kills=${SOAK_KILLS:-16}
soaks=${SOAK_SOAKS:-2}
tolerance=${SOAK_RSS_TOLERANCE_KIB:-4096}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target tmbsqlsvr tmbadmin soak >/dev/null
build=$(cd "$build" && pwd)
bin=$build/host/tmbsqlsvr
admin=$build/tmbio/admin/tmbadmin
driver=$build/bench/soak

# The server counts 4 descriptors a connection and keeps 64 of its own; the
# driver needs one a connection and a few more. A hard limit that cannot be
# raised that far (no CAP_SYS_RESOURCE, as in some containers) holds fewer
# connections, and the report says so.
needed=$(( connections * 4 + 64 ))
hard=$(ulimit -Hn)
if [[ $hard != unlimited && $hard -lt $needed ]] && ! ulimit -Hn "$needed" 2>/dev/null; then
  room=$(( (hard - 64) / 4 ))
  echo "NOTE: the hard descriptor limit is $hard and cannot be raised here; it leaves the server" \
       "room for $room connections, so $room are held instead of $connections"
  connections=$room
fi
ulimit -Sn "$(ulimit -Hn)"

dir=$(mktemp -d /tmp/tmb-soak-XXXXXX)
server=
cleanup() {
  if [[ -n $server ]]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
  rm -rf "$dir"
}
trap cleanup EXIT

mkdir "$dir/data"
"$driver" create "$dir/data"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Orlane Systems\\SQL Server]\r\n"MaxConnections"=dword:%08x\r\n"MaxConnectionsPerAddress"=dword:%08x\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Orlane Systems\\SQL Server\\Catalogs]\r\n"Soak"="*[%s][][]"\r\n' \
  $(( connections + clients + 4 * kills + 16 )) $(( connections + clients + 4 * kills + 16 )) \
  "$dir/data" > "$dir/machine.reg"
(
  cd "$dir"
  # The usual soft limit, for the server to raise itself.
  ulimit -Sn 1024 2>/dev/null || true
  TMB_MACHINE_REGISTRY=$dir/machine.reg TMB_USER_REGISTRY=$dir/user.reg \
    exec "$bin" "-P:$port" </dev/null >"$dir/stdout.txt" 2>"$dir/stderr.txt"
) &
server=$!
for _ in $(seq 100); do
  grep -q "listening on port" "$dir/stderr.txt" 2>/dev/null && break
  kill -0 "$server" 2>/dev/null || { echo "soak: the server did not start:" >&2; cat "$dir/stderr.txt" >&2; exit 2; }
  sleep 0.1
done

echo "server pid $server on 127.0.0.1:$port; $(nproc) cores; server said:"
sed 's/^/  /' "$dir/stderr.txt"
status=0
started=$SECONDS
# Every phase is bounded; the time-out stands for a server that stops answering.
timeout $(( soaks * (seconds + 180) + 60 )) "$driver" run "$port" "$server" --connections "$connections" --clients "$clients" \
  --seconds "$seconds" --kills "$kills" --soaks "$soaks" --rss-tolerance-kib "$tolerance" \
  --counts "$dir/expected.txt" || status=1

kill -TERM "$server"
if wait "$server"; then echo "server stopped in order (exit 0)"; else echo "FAIL: server exit $?"; status=1; fi
server=
if grep -E "Sanitizer|runtime error" "$dir/stderr.txt" >/dev/null; then
  echo "FAIL: the server's standard error reports a fault:"; cat "$dir/stderr.txt"; status=1
fi

[[ -s $dir/expected.txt ]] || { echo "FAIL: the driver wrote no expected counts"; exit 1; }
while read -r file expected; do
  if "$admin" check "$dir/data/$file" >"$dir/check.txt" 2>&1; then
    check=sound
  else
    check="NOT sound: $(tr '\n' ' ' <"$dir/check.txt")"; status=1
  fi
  records=$("$admin" describe "$dir/data/$file" | awk '/records:/ {print $2}')
  echo "$file: tmbadmin check $check; $records records, the clients were told $expected"
  [[ $records == "$expected" ]] || { echo "FAIL: $file holds $records records, not $expected"; status=1; }
done <"$dir/expected.txt"

echo "took $(( SECONDS - started )) s; $([[ $status == 0 ]] && echo 'every check held' || echo 'a check FAILED')"
exit $status
