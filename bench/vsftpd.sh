#!/usr/bin/env bash
# Starts vsftpd for the benchmarks on port 21 of a loopback address, serving
# FOLDER to the account ftpambench (made when missing), with active mode and
# real TYPE A conversion; prints its process id once it greets. Given a
# certificate and its key, it requires FTP over TLS (AUTH TLS, PROT P, and
# data connections that resume the control connection's session).
#   pid=$(bench/vsftpd.sh 127.0.0.50 /tmp/bench-files [CERT KEY])
#   bench/vsftpd.sh stop "$pid"
set -euo pipefail
user=ftpambench
password=ftpam-bench-pw

if [[ ${1:-} == stop ]]; then
  [[ ${2:-} =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 stop PID" >&2; exit 2; }
  # The sessions are the listener's descendants: end them by their pids too.
  descendants() { local c; for c in $(pgrep -P "$1" || true); do descendants "$c"; echo "$c"; done; }
  sessions=$(descendants "$2")
  kill "$2" 2>/dev/null || exit 0
  for _ in $(seq 50); do kill -0 "$2" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$2" 2>/dev/null || true
  for p in $sessions; do kill -KILL "$p" 2>/dev/null || true; done
  exit 0
fi

address=${1:?usage: $0 ADDRESS FOLDER [CERT KEY]}
folder=${2:?usage: $0 ADDRESS FOLDER [CERT KEY]}
cert=${3:-}
key=${4:-}
[[ $address == 127.* ]] || { echo "vsftpd.sh: loopback addresses only" >&2; exit 2; }

if ! getent passwd "$user" >/dev/null; then
  useradd --system --create-home --home-dir "/var/lib/$user" --shell /bin/sh "$user"
  echo "$user:$password" | chpasswd
fi
chown -R "$user" "$folder"

conf_dir=/tmp/ftpam-bench-vsftpd-$address
mkdir -p "$conf_dir/empty"
chmod 755 "$conf_dir" "$conf_dir/empty"
cat >"$conf_dir/vsftpd.conf" <<CONF
listen=YES
listen_ipv6=NO
listen_address=$address
listen_port=21
background=NO
anonymous_enable=NO
local_enable=YES
local_root=$folder
write_enable=YES
local_umask=022
port_enable=YES
connect_from_port_20=NO
seccomp_sandbox=NO
secure_chroot_dir=$conf_dir/empty
pam_service_name=vsftpd
ascii_download_enable=YES
ascii_upload_enable=YES
idle_session_timeout=300
data_connection_timeout=300
CONF
if [[ -n $cert ]]; then
  cat >>"$conf_dir/vsftpd.conf" <<CONF
ssl_enable=YES
force_local_logins_ssl=YES
force_local_data_ssl=YES
require_ssl_reuse=YES
rsa_cert_file=$cert
rsa_private_key_file=$key
ssl_ciphers=HIGH
CONF
fi
chown root:root "$conf_dir/vsftpd.conf"
setsid /usr/sbin/vsftpd "$conf_dir/vsftpd.conf" </dev/null >/dev/null 2>&1 &
pid=$!
for _ in $(seq 100); do
  if exec 3<>"/dev/tcp/$address/21" 2>/dev/null; then
    read -r -t 2 greeting <&3 || true
    exec 3<&-
    [[ $greeting == 220* ]] && { echo "$pid"; exit 0; }
  fi
  sleep 0.1
done
kill "$pid" 2>/dev/null || true
echo "vsftpd.sh: vsftpd did not greet on $address:21" >&2
exit 1
