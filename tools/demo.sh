#!/usr/bin/env bash
# The main job on a fresh machine: install what is missing, build, start a
# real FTP server on a loopback address with example files in every record
# format, and run ftpam over them -- records in each format, a listing, an
# MGET (also saved file by file), a STOR/RETR round trip, a passive
# transfer, a server on port 2121 reached by host:port and by URL, one on
# IPv6 (::1, port 2123) reached by its address in brackets, and a server on
# port 2122 that requires FTP over TLS, its certificate checked against a
# throwaway CA -- then stop the servers.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default >/dev/null

work=$(mktemp -d)
pid="" pid2121="" pid2122="" pid2123=""
cleanup() {
  [[ -n $pid ]] && tools/ftp-demo-server.sh stop "$pid"
  [[ -n $pid2121 ]] && tools/ftp-demo-server.sh stop "$pid2121"
  [[ -n $pid2122 ]] && tools/ftp-demo-server.sh stop "$pid2122"
  [[ -n $pid2123 ]] && tools/ftp-demo-server.sh stop "$pid2123"
  rm -rf "$work"
}
trap cleanup EXIT

tools/make-demo-files.py "$work/files"
address=127.0.0.2
for n in $(seq 2 40); do
  address=127.0.0.$n
  pid=$(tools/ftp-demo-server.sh "$address" "$work/files" demo demo-pw 2>/dev/null) && break
  pid=""
done
[[ -n $pid ]] || { echo "demo: could not start an FTP server" >&2; exit 1; }

ftpam=build/ftpam
login=(host="$address" user=demo pass=demo-pw)
show() {
  printf '\n\033[1m$ %s\033[0m\n' "$*"
  "$@"
}

echo "FTP server (pyftpdlib) on $address:21, serving $(ls "$work/files" | wc -l) example files"
show $ftpam get lines.txt "${login[@]}"
show $ftpam get lines-lf.txt "${login[@]}" termstr=lf
show $ftpam get fixed.dat "${login[@]}" recfm=f lrecl=80
show $ftpam get report.ccf "${login[@]}" recfm=f lrecl=80 --cc
show $ftpam get records.s370v "${login[@]}" s370v
show $ftpam get records.s370vs "${login[@]}" s370vs
show $ftpam get stream.bin "${login[@]}" recfm=s lrecl=256 nonbyte --hex --piece 100
show $ftpam ls "${login[@]}"
show $ftpam ls --long "${login[@]}" wd=mget
show $ftpam mget . "${login[@]}" wd=mget
show $ftpam mget "(alpha.txt 'gamma.txt')" "${login[@]}" wd=mget
mkdir "$work/saved"
show $ftpam mget '*.txt' --to "$work/saved" "${login[@]}" wd=mget
show head "$work"/saved/*.txt
printf 'first record\nsecond record\nthird record\n' >"$work/upload.txt"
show $ftpam put round-trip.txt "${login[@]}" <"$work/upload.txt"
show $ftpam get round-trip.txt "${login[@]}"
show $ftpam --passive get fixed.dat "${login[@]}" recfm=f lrecl=80
show $ftpam cmd SYST "${login[@]}"
show $ftpam info fixed.dat "${login[@]}" recfm=f lrecl=80
if pid2121=$(tools/ftp-demo-server.sh "$address:2121" "$work/files" demo demo-pw 2>/dev/null); then
  echo
  echo "a second FTP server on $address:2121"
  show $ftpam get lines.txt host="$address:2121" user=demo pass=demo-pw
  show env FTPAM_PASSWORD=demo-pw $ftpam get "ftp://demo@$address:2121/fixed.dat" recfm=f lrecl=80
else
  pid2121=""
  echo "demo: no second server on port 2121"
fi

if pid2123=$(tools/ftp-demo-server.sh '[::1]:2123' "$work/files" demo demo-pw 2>/dev/null); then
  echo
  echo "an FTP server on IPv6, [::1]:2123 (EPRT in active mode, EPSV in passive mode)"
  show $ftpam get lines.txt 'host=[::1]:2123' user=demo pass=demo-pw
  show $ftpam --passive info fixed.dat 'host=[::1]:2123' user=demo pass=demo-pw recfm=f lrecl=80
else
  pid2123=""
  echo "demo: no IPv6 server on [::1]:2123 (is IPv6 off?)"
fi

# A CA of our own and a certificate for the server's address, signed by it.
certs=$work/certs
mkdir "$certs"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj "/CN=demo CA" \
  -keyout "$certs/ca.key" -out "$certs/ca.pem" 2>/dev/null
openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=$address" \
  -keyout "$certs/server.key" -out "$certs/server.csr" 2>/dev/null
openssl x509 -req -in "$certs/server.csr" -CA "$certs/ca.pem" -CAkey "$certs/ca.key" \
  -CAcreateserial -days 1 -extfile <(printf 'subjectAltName=IP:%s\n' "$address") \
  -out "$certs/server.pem" 2>/dev/null
if pid2122=$(tools/ftp-demo-server.sh --tls "$certs/server.pem" "$certs/server.key" \
               "$address:2122" "$work/files" demo demo-pw 2>/dev/null); then
  echo
  echo "a third FTP server on $address:2122, which requires FTP over TLS"
  show $ftpam --log --tls --cacert "$certs/ca.pem" get fixed.dat host="$address:2122" user=demo \
    pass=demo-pw recfm=f lrecl=80
  show $ftpam --tls get lines.txt host="$address:2122" user=demo pass=demo-pw || true
else
  pid2122=""
  echo "demo: no TLS server on port 2122"
fi
echo
echo "demo: done"
