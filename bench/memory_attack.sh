#!/usr/bin/env bash
# memory_attack.sh: the server's resident memory (VmRSS) before, during and
# after a run-length expansion attack. Each of N connections (default 12)
# sends one 10-byte frame that announces a 64 MiB body, takes its reply and
# then stays open and idle; "during" is read while they all idle, "after"
# once they have closed. The same is done with a zlib body when the server
# grants zlib.
#
#   bench/memory_attack.sh [SERVER_BINARY] [CONNECTIONS]
#
# SERVER_BINARY defaults to build/host/tmbsqlsvr. The server runs on a free
# loopback port with registry files of its own in a temporary directory.
set -euo pipefail

bin=${1:-build/host/tmbsqlsvr}
connections=${2:-12}
python=/usr/bin/python3
[[ -x $bin ]] || { echo "no server binary at $bin" >&2; exit 2; }

dir=$(mktemp -d /tmp/tmb-memory-attack-XXXXXX)
server=
cleanup() {
  [[ -n $server ]] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT

port=$("$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$dir/demo"
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Orlane Systems\\SQL Server]\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Orlane Systems\\SQL Server\\Catalogs]\r\n"Demo"="*[%s][][]"\r\n' \
  "$dir/demo" > "$dir/machine.reg"
TMB_MACHINE_REGISTRY=$dir/machine.reg TMB_USER_REGISTRY=$dir/user.reg \
  "$bin" "-P:$port" 2> "$dir/stderr.txt" &
server=$!

"$python" - "$server" "$port" "$connections" <<'PY'
import socket, struct, sys, time, zlib

pid, port, count = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
announced = 64 << 20

def rss_mib():
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    raise SystemExit("no VmRSS for the server")

def recv_exactly(s, n):
    data = b""
    while len(data) < n:
        chunk = s.recv(n - len(data))
        if not chunk:
            raise ConnectionError("closed by the server")
        data += chunk
    return data

def read_frame(s):
    n, _ = struct.unpack(">II", recv_exactly(s, 8))
    return recv_exactly(s, n)

def frame(body, plain_length):
    return struct.pack(">II", len(body), plain_length) + body

def connect():
    for _ in range(250):
        try:
            return socket.create_connection(("127.0.0.1", port))
        except ConnectionRefusedError:
            time.sleep(0.02)
    raise SystemExit("the server does not accept connections")

def settle():
    time.sleep(1.0)
    return rss_mib()

# Hello, then four zero runs and an empty literal: ten bytes on the wire.
rle_body = bytes([41, 0, 240, 255, 240, 255, 240, 255, 240, 255])

def rle_attack(s):
    s.sendall(frame(rle_body, announced))
    read_frame(s)

def zlib_attack(s):
    # Granted zlib is used once the first two exchanges have passed.
    s.sendall(frame(bytes([69, 100, 0, 0, 0, 16, 0, 0, 0, 16]), 10))
    if read_frame(s) != b"\x64":
        raise SystemExit("zlib not granted")
    s.sendall(frame(bytes([41]), 1))
    read_frame(s)
    coded = bytes([41]) + zlib.compress(bytes(1 << 20))
    s.sendall(frame(coded, announced))
    read_frame(s)

connect().close()
print(f"{count} connections, each announcing {announced >> 20} MiB in a small frame")
print(f"{'attack':8} {'before':>10} {'during':>10} {'after':>10}   (VmRSS, MiB)")
for name, attack in (("rle", rle_attack), ("zlib", zlib_attack)):
    before = settle()
    held = []
    try:
        for _ in range(count):
            s = connect()
            attack(s)
            held.append(s)
    except (ConnectionError, SystemExit) as e:
        print(f"{name}: connection {len(held) + 1}: {e}")
    during = settle()
    for s in held:
        s.close()
    after = settle()
    print(f"{name:8} {before:10.1f} {during:10.1f} {after:10.1f}   ({len(held)} served)")
PY
