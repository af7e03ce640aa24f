#!/bin/sh
# What a built binary has, read from the binary itself with the toolchain's
# own readelf, for both builds (CMake and the Makefile) after the agent is
# linked, and for CMake's probe of the C library:
#
#   binary-report.sh FILE COMPILER [ARGS...]
#       kelvorn: PIE on, RELRO off, BIND_NOW on, canary off, fortified calls on,
#       C library libc.so.6, interpreter /lib/ld.so.1
#   binary-report.sh --program NAME COMPILER [ARGS...]
#       the toolchain's own NAME (readelf, strip): the one the compiler runs
#       (-print-prog-name), else the one beside it with its prefix, through
#       any link (mipsel-linux-gnu-g++-12: mipsel-linux-gnu-strip), else
#       NAME on the PATH
set -eu

program() { # program NAME COMPILER [ARGS...]
  name=$1
  shift
  path=$("$@" -print-prog-name="$name" 2>/dev/null) || path=
  case $path in /*) [ -x "$path" ] && echo "$path" && return ;; esac
  real=$(command -v "$1") && real=$(readlink -f "$real") || real=
  prefix=$(echo "${real##*/}" | sed -n 's/^\(.*-\)\(g++\|c++\|gcc\|cc\|clang++\|clang\)\(-[0-9.]*\)\{0,1\}$/\1/p')
  if [ -n "$prefix" ] && [ -x "${real%/*}/$prefix$name" ]; then
    echo "${real%/*}/$prefix$name"
  else
    echo "$name"
  fi
}

if [ "$1" = --program ]; then
  shift
  program "$@"
  exit
fi
file=$1
shift
readelf=$(program readelf "$@")
elf=$("$readelf" -hldW --dyn-syms "$file")
has() { echo "$elf" | grep -qE "$1" && echo on || echo off; }
interpreter=$(echo "$elf" | sed -n 's/.*Requesting program interpreter: \(.*\)\]$/\1/p')
libc=$(echo "$elf" | sed -n 's/.*(NEEDED).*\[\(libc\.so[.0-9]*\)\]$/\1/p')
pie=off
[ -n "$interpreter" ] && [ "$(has 'Type: +DYN')" = on ] && pie=on
echo "${file##*/}: PIE $pie, RELRO $(has '^ +GNU_RELRO '), BIND_NOW $(has '\(BIND_NOW\)|\((FLAGS|FLAGS_1)\).*\<(BIND_NOW|NOW)\>'),"\
  "canary $(has ' __stack_chk_(fail|guard)\>'), fortified calls $(has ' __[a-z0-9_]+_chk\>'),"\
  "C library ${libc:-none}, interpreter ${interpreter:-none}"
