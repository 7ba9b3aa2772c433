#!/usr/bin/env bash
# Says how this machine runs i386 programs: "native", or "qemu" with the
# emulator's version when a binfmt_misc entry hands i386 executables to an
# emulator (tools/setup.sh registers one where the kernel cannot run them).
# An enabled entry takes precedence over the kernel's own loader, so it is
# the entry, not the kernel, that decides.
set -euo pipefail
i386_magic=7f454c4601010100000000000000000002000300
for entry in /proc/sys/fs/binfmt_misc/*; do
  [ -f "$entry" ] || continue
  grep -qx enabled "$entry" 2>/dev/null || continue
  grep -q "^magic $i386_magic" "$entry" || continue
  emulator=$(sed -n 's/^interpreter //p' "$entry")
  echo "qemu ($("$emulator" --version | head -n 1))"
  exit 0
done
echo native
