#!/usr/bin/env bash
# Builds the stack probe plain and with AddressSanitizer+UBSan, starts a
# throw-away FTP server on a kernel-chosen loopback port, and prints the
# high-water marks of each deep path of a connection thread.
# Usage: bench/stack/run.sh [--dns] [BUILD_DIR]
# PLAIN_STACK_BYTES / ASAN_STACK_BYTES: the sizes to check besides 8 MiB.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dns=()
if [ "${1:-}" = "--dns" ]; then dns=(--dns); shift; fi
out=${1:-$here/../../build-stack}
mkdir -p "$out"

g++ -std=c++20 -O2 -g -Wall -Wextra -o "$out/stack_probe" "$here/stack_probe.cpp" -lcurl -pthread
g++ -std=c++20 -O1 -g -Wall -Wextra -fsanitize=address,undefined -fno-omit-frame-pointer \
    -o "$out/stack_probe_asan" "$here/stack_probe.cpp" -lcurl -pthread

ftp_root=$(mktemp -d)
head -c 1048576 /dev/urandom >"$ftp_root/file.bin"
portfile=$ftp_root.port
/usr/bin/python3 - "$ftp_root" >"$portfile" 2>/dev/null <<'PY' &
import sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
auth = DummyAuthorizer()
auth.add_anonymous(sys.argv[1])
FTPHandler.authorizer = auth
server = FTPServer(("127.0.0.1", 0), FTPHandler)
print(server.socket.getsockname()[1], flush=True)
server.serve_forever()
PY
ftp_pid=$!
cleanup() { kill "$ftp_pid" 2>/dev/null || true; rm -rf "$ftp_root" "$portfile"; }
trap cleanup EXIT
for _ in $(seq 100); do [ -s "$portfile" ] && break; sleep 0.1; done
port=$(cat "$portfile")

# On a large stack, then on the sizes chosen for connection threads.
for size in 8388608 ${PLAIN_STACK_BYTES:-81920}; do
    echo "== plain (-O2)"
    "$out/stack_probe" --stack-bytes "$size" --ftp-port "$port" "${dns[@]}"
done
for size in 8388608 ${ASAN_STACK_BYTES:-262144}; do
    echo "== AddressSanitizer + UBSan"
    ASAN_OPTIONS=detect_leaks=0 "$out/stack_probe_asan" --stack-bytes "$size" --ftp-port "$port" "${dns[@]}"
done
