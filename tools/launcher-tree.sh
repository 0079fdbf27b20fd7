#!/usr/bin/env bash
# Prints the build tree whose launcher code Wine runs on this machine: build/x86 where the kernel
# runs 32-bit programs (Wine's 32-bit loader starts), else build/x64, which then builds the
# launcher's code 64-bit as well (tools/configure.sh makes the same choice).
# A user-mode i386 emulator registered with the kernel (qemu-user, set up by hand to look at one
# 32-bit program) does not count: each 32-bit process then takes about a minute of CPU to start.
if /usr/lib/wine/wine --version >/dev/null 2>&1 && ! grep -qs '^enabled' /proc/sys/fs/binfmt_misc/qemu-i386; then
  echo build/x86
else
  echo build/x64
fi
