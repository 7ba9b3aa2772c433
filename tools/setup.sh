#!/usr/bin/env bash
# Prepares a fresh Debian machine to build and run ftpam: the i386 tool chain
# (clang and its libFuzzer runtime for the fuzz targets),
# the FTP servers of the end-to-end tests (with openssl and pyOpenSSL for their
# TLS), and -- where the kernel cannot run
# i386 programs itself -- qemu's user-mode emulator, registered so that i386
# programs start like any other. Safe to run again.
set -euo pipefail

packages=(g++-multilib cmake make googletest python3-pyftpdlib vsftpd qemu-user curl
          openssl python3-openssl clang libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# Can this kernel run an i386 program?
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf 'int main(void){return 0;}\n' >"$probe/t.c"
gcc -m32 "$probe/t.c" -o "$probe/t"
if ! "$probe/t" 2>/dev/null; then
  binfmt=/proc/sys/fs/binfmt_misc
  [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
  if [ ! -e "$binfmt/i386" ]; then
    printf '%s' ':i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' \
      >"$binfmt/register"
  fi
  "$probe/t" || { echo "setup: i386 programs still cannot run here" >&2; exit 1; }
  echo "setup: i386 programs run through qemu-i386 on this machine"
fi
