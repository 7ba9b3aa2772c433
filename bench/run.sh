#!/usr/bin/env bash
# One benchmark run on this machine: vsftpd on a loopback address, generated
# files, the module (through the reference host, bench/ftpam_bench) side by
# side with curl, Python ftplib and a plain socket reader, each case
# BENCH_RUNS times (default 5) over files of BENCH_MB MiB (default 256).
# Writes bench/results/results.jsonl, results.md and chart.png.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${BENCH_RUNS:-5}
mib=${BENCH_MB:-256}

tools/setup.sh
dpkg-query -W -f='${Status}' python3-matplotlib 2>/dev/null | grep -q "ok installed" ||
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq python3-matplotlib >/dev/null
cmake --preset default >/dev/null
cmake --build --preset default --target ftpam_bench ftpam_module >/dev/null

files=/tmp/ftpam-bench-files
mkdir -p "$files/up"
[[ -f $files/.size && $(cat "$files/.size") == "$mib" ]] ||
  { bench/make_files.py "$files" "$mib" && echo "$mib" >"$files/.size"; }
address=127.0.0.50
pid=$(bench/vsftpd.sh "$address" "$files")
trap 'bench/vsftpd.sh stop "$pid"; rm -rf "$files/up"' EXIT

user=ftpambench
password=ftpam-bench-pw
login="host='$address' user='$user' pass='$password'"
results=bench/results
mkdir -p "$results"
out=$results/results.jsonl
: >"$out"

# case, client, command...
measure() {
  local case=$1 client=$2
  shift 2
  for run in $(seq "$runs"); do
    local line
    line=$("$@") || { echo "bench: $case/$client failed" >&2; return 1; }
    echo "{\"case\": \"$case\", \"client\": \"$client\", \"run\": $run, ${line#\{}" >>"$out"
    printf '.'
  done
  printf ' %s / %s\n' "$case" "$client"
}

bench=build/ftpam_bench
clients=bench/clients.py
measure "V lines (TYPE A)" ftpam $bench read text.txt "$login"
measure "V lines (TYPE A)" curl $clients curl-get "$address" $user $password text.txt a
measure "V lines (TYPE A)" ftplib $clients ftplib-lines "$address" $user $password text.txt
measure "F 80" ftpam $bench read text.txt "$login recfm=f lrecl=80"
measure "F 80" curl $clients curl-get "$address" $user $password text.txt
measure "S370V 80" ftpam $bench read s370v.dat "$login s370v lrecl=80"
measure "S370V 80" curl $clients curl-get "$address" $user $password s370v.dat
measure "S 32 KiB" ftpam $bench read binary.bin "$login recfm=s lrecl=32768 nonbyte" 32768
measure "S 32 KiB" curl $clients curl-get "$address" $user $password binary.bin
measure "loopback limit" socket $clients socket-read "$address" $user $password binary.bin
measure "STOR V" ftpam $bench write up/v.txt "$login" "$files/text.txt" v
measure "STOR V" curl $clients curl-put "$address" $user $password up/v-curl.txt "$files/text.txt"
measure "STOR F 80" ftpam $bench write up/f.dat "$login recfm=f lrecl=80" "$files/text.txt" f 80
measure "STOR F 80" curl $clients curl-put "$address" $user $password up/f-curl.dat "$files/text.txt"
measure "STOR S 32 KiB" ftpam $bench write up/s.bin "$login recfm=s lrecl=32768" "$files/binary.bin" s 32768
measure "STOR S 32 KiB" curl $clients curl-put "$address" $user $password up/s-curl.bin "$files/binary.bin"

/usr/bin/python3 bench/report.py "$out" "$results"
