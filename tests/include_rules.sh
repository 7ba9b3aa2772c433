#!/bin/sh
# The layers' include rules: the host (host/) and the command-line program
# (cli/) know the module only through the contract headers, and the access
# method (ftp/) reaches the socket layer only through its public headers.
# Prints every include that breaks a rule and fails when there is one.
# Usage: include_rules.sh [SOURCE_DIR]
cd "${1:-$(dirname "$0")/..}" || exit 2

# The headers the host and the module share.
contract='module/records.h module/host_records.h module/status.h module/msgno.h
module/method_vector.h module/methods.def hostsvc/gcb.h hostsvc/token.h
hostsvc/services.def'
# The socket layer as the access method sees it.
sock_public='sock/yxsoc.h sock/sock_conn.h sock/data_connection.h sock/in_place.h sock/tls.h'

# check FOLDER ALLOWED_PREFIXES ALLOWED_HEADERS: every quoted include of the
# folder's files starts with an allowed prefix or is an allowed header.
check() {
  folder=$1 prefixes=$2 headers=$3
  grep -rnoE '^[[:space:]]*#[[:space:]]*include[[:space:]]+"[^"]+"' "$folder" |
  while IFS= read -r hit; do
    header=$(printf '%s\n' "$hit" | sed -E 's/.*"([^"]+)".*/\1/')
    ok=no
    for p in $prefixes; do case $header in "$p"*) ok=yes ;; esac; done
    for h in $headers; do [ "$header" = "$h" ] && ok=yes; done
    [ $ok = yes ] || echo "${hit%%:*}: includes $header"
  done
}

bad=$( {
  check host 'host/' "$contract"
  check cli 'host/ cli/' "$contract"
  check ftp 'ftp/ module/ hostsvc/ util/' "$sock_public"
} )
if [ -n "$bad" ]; then
  printf 'include rules broken:\n%s\n' "$bad"
  exit 1
fi
echo "include rules hold"
