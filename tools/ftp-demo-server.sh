#!/usr/bin/env bash
# Starts a pyftpdlib FTP server in the background on port 21 of a loopback
# address (each server gets an address of its own: 127.0.0.2, 127.0.0.3, ...),
# or on another port with ADDRESS:PORT, serving FOLDER to USER with write
# permission. Waits until the server greets, then prints its process id.
#
#   pid=$(tools/ftp-demo-server.sh 127.0.0.2 demo-files demo secret)
#   pid=$(tools/ftp-demo-server.sh 127.0.0.2:2121 demo-files demo secret)
#   pid=$(tools/ftp-demo-server.sh '[::1]:2123' demo-files demo secret)   (IPv6)
#   pid=$(tools/ftp-demo-server.sh --tls cert.pem key.pem 127.0.0.2:2122 demo-files demo secret)
#     (FTP over TLS required: AUTH TLS, then everything encrypted)
#   ...
#   tools/ftp-demo-server.sh stop "$pid"
#
# Needs root (port 21) and python3-pyftpdlib (tools/setup.sh installs it).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
python=/usr/bin/python3

usage() {
  echo "usage: $0 [--tls CERT KEY] ADDRESS[:PORT] FOLDER USER PASSWORD [LOGFILE]" >&2
  echo "       (LOGFILE gets what the server prints; default: nothing is kept)" >&2
  echo "       $0 stop PID" >&2
  exit 2
}

if [[ ${1:-} == stop ]]; then
  # A process id, never 0 or -1: kill would reach whole groups of processes.
  (($# == 2)) && [[ $2 =~ ^[1-9][0-9]*$ ]] || usage
  pid=$2
  kill "$pid" 2>/dev/null || exit 0
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || exit 0; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null || true
  exit 0
fi

tls=()
if [[ ${1:-} == --tls ]]; then
  (($# >= 3)) || usage
  tls=(--tls explicit --cert "$(realpath "$2")" --key "$(realpath "$3")")
  shift 3
fi
(($# == 4 || $# == 5)) || usage
address=$1 folder=$2 user=$3 password=$4 log=${5:-/dev/null}
port=21
if [[ $address =~ ^\[(.*)\]:([0-9]+)$ ]]; then
  address=${BASH_REMATCH[1]} port=${BASH_REMATCH[2]}
elif [[ $address =~ ^([^:]*):([0-9]+)$ ]]; then
  address=${BASH_REMATCH[1]} port=${BASH_REMATCH[2]}
fi
if ! [[ $address =~ ^127\.[0-9]+\.[0-9]+\.[0-9]+$ || $address == ::1 ]]; then
  echo "$0: $address is not a loopback address" >&2
  exit 2
fi
[[ -d $folder ]] || { echo "$0: no folder $folder" >&2; exit 2; }
"$python" -c 'import pyftpdlib' 2>/dev/null || {
  echo "$0: python3-pyftpdlib is missing; run tools/setup.sh" >&2
  exit 1
}

greets() {  # true when "220<text>" comes from ADDRESS:PORT within two seconds
  local line=""
  { exec 3<>"/dev/tcp/$address/$port"; } 2>/dev/null || return 1
  read -r -t 2 line <&3 || true
  exec 3<&-
  [[ $line == "220$1"* ]]
}
if greets ""; then
  echo "$0: another server already answers on $address:$port" >&2
  exit 1
fi

folder=$(cd "$folder" && pwd)
banner="pyftpdlib ready ($$.$RANDOM)."
setsid "$python" "$here/tests/servers/pyftpd.py" --banner "$banner" --port "$port" "${tls[@]}" \
  "$address" "$folder" "$user" "$password" </dev/null >>"$log" 2>&1 &
pid=$!

# Ready when it greets; give up after about ten seconds.
for _ in $(seq 100); do
  if ! kill -0 "$pid" 2>/dev/null; then
    echo "$0: the server ended at once (is $address:$port taken? not root?)" >&2
    exit 1
  fi
  if greets " $banner"; then
    echo "$pid"
    exit 0
  fi
  sleep 0.1
done
kill "$pid" 2>/dev/null || true
echo "$0: no greeting from $address:$port" >&2
exit 1
