#!/usr/bin/env bash
# One benchmark run on this machine: vsftpd on a loopback address, generated
# files, the module (through the reference host, bench/ftpam_bench) side by
# side with a plain i386 reader built in this tree (bench/ref_reader.c),
# curl, Python ftplib and a socket reader; then whole ftpam processes as a
# user runs them beside whole curl processes, and the system calls of each
# ftpam process (strace). Each timed case runs BENCH_RUNS times (default 5,
# the clients of one case taking turns) over files of BENCH_MB MiB (default
# 256); BENCH_ONLY=REGEX runs only the cases it matches. Writes
# results.jsonl, results.md and chart.png to bench/results (or BENCH_RESULTS).
#
# FTP servers listen on port 21 of a loopback address, so run it where no
# other server does, e.g. in a network namespace of its own:
#   unshare -n sh -c 'ip link set lo up && make bench'

set -euo pipefail
cd "$(dirname "$0")/.."
runs=${BENCH_RUNS:-5}
mib=${BENCH_MB:-256}

tools/setup.sh
for p in python3-matplotlib strace; do
  dpkg-query -W -f='${Status}' $p 2>/dev/null | grep -q "ok installed" ||
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $p >/dev/null
done
cmake --preset default >/dev/null
cmake --build --preset default --target ftpam_bench ftpam_module ftpam_ref_reader ftpam >/dev/null

# Whether i386 programs run on this kernel or through a registered emulator.
if grep -qs '^enabled' /proc/sys/fs/binfmt_misc/i386; then i386=emulated; else i386=native; fi

files=/tmp/ftpam-bench-files
mkdir -p "$files/up"
[[ -f $files/.size && $(cat "$files/.size") == "$mib" ]] ||
  { bench/make_files.py "$files" "$mib" && echo "$mib" >"$files/.size"; }
address=127.0.0.50
pid=$(bench/vsftpd.sh "$address" "$files")
# The same files from a second vsftpd that requires TLS, with a throwaway
# certificate of its address.
tls_address=127.0.0.51
certs=$(mktemp -d)
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=bench \
  -addext "subjectAltName=IP:$tls_address" -keyout "$certs/key.pem" -out "$certs/cert.pem" 2>/dev/null
tls_pid=$(bench/vsftpd.sh "$tls_address" "$files" "$certs/cert.pem" "$certs/key.pem")
trap 'bench/vsftpd.sh stop "$pid"; bench/vsftpd.sh stop "$tls_pid"; rm -rf "$files/up" "$certs"' EXIT

user=ftpambench
password=ftpam-bench-pw
login="host='$address' user='$user' pass='$password'"
results=${BENCH_RESULTS:-bench/results}
mkdir -p "$results"
out=$results/results.jsonl
: >"$out"

# One run of a client: its JSON line, with the case and client, to the results.
run_once() {
  local case=$1 client=$2 run=$3
  shift 3
  local line
  line=$("$@") || { echo "bench: $case/$client failed" >&2; return 1; }
  echo "{\"case\": \"$case\", \"client\": \"$client\", \"run\": $run, ${line#\{}" >>"$out"
}

# case, then "client|command" pairs: the clients take turns in every run, so
# that each run's figures share the machine's conditions of the moment.
# BENCH_ONLY (an extended regular expression) measures only the cases it matches.
measure() {
  local case=$1
  shift
  [[ -z ${BENCH_ONLY:-} || $case =~ $BENCH_ONLY ]] || return 0
  for run in $(seq "$runs"); do
    for pair in "$@"; do
      eval "run_once \"\$case\" ${pair%%|*} $run ${pair#*|}"
    done
    printf '.'
  done
  printf ' %s\n' "$case"
}

echo "{\"conditions\": {\"i386\": \"$i386\", \"mib\": $mib, \"runs\": $runs, \"cores\": $(nproc), \"load\": \"$(cut -d' ' -f1-3 /proc/loadavg)\", \"kernel\": \"$(uname -r)\"}}" >>"$out"

bench=build/ftpam_bench
ref=build/ftpam_ref_reader
ftpam=build/ftpam
clients=bench/clients.py
auth="$address $user $password"
measure "V lines (TYPE A)" "ftpam|$bench read text.txt \"\$login\"" "reference|$ref $auth text.txt lines 32767" \
  "curl|$clients curl-get $auth text.txt a" "ftplib|$clients ftplib-lines $auth text.txt"
measure "F 80" "ftpam|$bench read text.txt \"\$login recfm=f lrecl=80\"" "reference|$ref $auth text.txt fixed 80" \
  "curl|$clients curl-get $auth text.txt"
measure "S370V 80" "ftpam|$bench read s370v.dat \"\$login s370v lrecl=80\"" "reference|$ref $auth s370v.dat s370v 80" \
  "curl|$clients curl-get $auth s370v.dat"
measure "S 32 KiB" "ftpam|$bench read binary.bin \"\$login recfm=s lrecl=32768 nonbyte\" 32768" \
  "reference|$ref $auth binary.bin fixed 32768" "curl|$clients curl-get $auth binary.bin"
# Records copied into the record buffer, as the host interface has them by
# default, beside the cases above where the bench asks for them in place.
copied="$bench --option XXAMINPL=0"
measure "V lines (TYPE A), copied" "ftpam|$copied read text.txt \"\$login\""
measure "F 80, copied" "ftpam|$copied read text.txt \"\$login recfm=f lrecl=80\""
measure "S370V 80, copied" "ftpam|$copied read s370v.dat \"\$login s370v lrecl=80\""
# What a short file and a name listing take of the host's pool.
measure "short file (1 KiB)" "ftpam|$bench read short.txt \"\$login\""
measure "name listing (NLST)" "ftpam|$bench read '' \"\$login ls\""
measure "loopback limit" "socket|$clients socket-read $auth binary.bin"
measure "STOR V" "ftpam|$bench write up/v.txt \"\$login\" $files/text.txt v" \
  "curl|$clients curl-put $auth up/v-curl.txt $files/text.txt a"
measure "STOR F 80" "ftpam|$bench write up/f.dat \"\$login recfm=f lrecl=80\" $files/text.txt f 80" \
  "curl|$clients curl-put $auth up/f-curl.dat $files/text.txt"
measure "STOR S 32 KiB" "ftpam|$bench write up/s.bin \"\$login recfm=s lrecl=32768\" $files/binary.bin s 32768" \
  "curl|$clients curl-put $auth up/s-curl.bin $files/binary.bin"

# Whole processes, as a user runs them: ftpam (module, host and CLI with its
# standard input and output) beside curl, log-in included for both.
opts="host=$address user=$user pass=$password"
url="ftp://$user:$password@$address"
size() { stat -c %s "$files/$1"; }
process="$clients process"
get="$ftpam get"
measure "process: get F 80 --raw" "ftpam|$process $(size text.txt) - $get text.txt $opts recfm=f lrecl=80 --raw" \
  "curl|$process $(size text.txt) - curl -s -S -P 127.0.0.1 -o /dev/null $url/text.txt"
measure "process: get S370V 80 --raw" "ftpam|$process $(size s370v.dat) - $get s370v.dat $opts s370v lrecl=80 --raw" \
  "curl|$process $(size s370v.dat) - curl -s -S -P 127.0.0.1 -o /dev/null $url/s370v.dat"
measure "process: get S 32 KiB --raw" "ftpam|$process $(size binary.bin) - $get binary.bin $opts recfm=s lrecl=32768 nonbyte --raw" \
  "curl|$process $(size binary.bin) - curl -s -S -P 127.0.0.1 -o /dev/null $url/binary.bin"
measure "process: get lines (TYPE A)" "ftpam|$process $(size text.txt) - $get text.txt $opts" \
  "curl|$process $(size text.txt) - curl -s -S -P 127.0.0.1 -o /dev/null \"$url/text.txt;type=a\""
measure "process: put lines (TYPE A)" "ftpam|$process $(size text.txt) $files/text.txt $ftpam put up/pv.txt $opts" \
  "curl|$process $(size text.txt) - curl -s -S -P 127.0.0.1 -T $files/text.txt \"$url/up/pv-curl.txt;type=a\""
measure "process: put F 80 --raw" "ftpam|$process $(size text.txt) $files/text.txt $ftpam put up/pf.dat $opts recfm=f lrecl=80 --raw" \
  "curl|$process $(size text.txt) - curl -s -S -P 127.0.0.1 -T $files/text.txt $url/up/pf-curl.dat"

# The same over TLS, against curl --ssl-reqd on the same server and files:
# passive mode for both (curl's active FTPS does not work), the server's
# certificate checked by both.
tls_opts="host=$tls_address user=$user pass=$password"
tls_url="ftp://$user:$password@$tls_address"
tls_get="$ftpam --tls --passive --cacert $certs/cert.pem get"
tls_curl="curl -s -S --ssl-reqd --cacert $certs/cert.pem -o /dev/null"
measure "process: get F 80 --raw, TLS" "ftpam|$process $(size text.txt) - $tls_get text.txt $tls_opts recfm=f lrecl=80 --raw" \
  "curl|$process $(size text.txt) - $tls_curl $tls_url/text.txt"
measure "process: get lines (TYPE A), TLS" "ftpam|$process $(size text.txt) - $tls_get text.txt $tls_opts" \
  "curl|$process $(size text.txt) - $tls_curl \"$tls_url/text.txt;type=a\""

# System calls of whole ftpam processes (one untimed run each under strace).
trace() {
  local case=$1
  shift
  [[ -z ${BENCH_ONLY:-} || $case =~ $BENCH_ONLY ]] || return 0
  local line
  line=$("$clients" strace "$@") || { echo "bench: strace $case failed" >&2; return 1; }
  echo "{\"case\": \"$case\", \"client\": \"strace\", ${line#\{}" >>"$out"
  printf '. %s (strace)\n' "$case"
}
trace "process: get F 80 --raw" $get text.txt $opts recfm=f lrecl=80 --raw
trace "process: get S370V 80 --raw" $get s370v.dat $opts s370v lrecl=80 --raw
trace "process: get S 32 KiB --raw" $get binary.bin $opts recfm=s lrecl=32768 nonbyte --raw
trace "process: get lines (TYPE A)" $get text.txt $opts
trace "process: get F 80 --raw, TLS" $tls_get text.txt $tls_opts recfm=f lrecl=80 --raw
trace "process: put lines (TYPE A)" sh -c "exec $ftpam put up/pv.txt $opts < $files/text.txt"

/usr/bin/python3 bench/report.py "$out" "$results"
