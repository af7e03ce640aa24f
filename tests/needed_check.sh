#!/usr/bin/env bash
# The agent's dynamic section and program header, as the router's loader
# reads them: NEEDED must be exactly the store, by its soname (libapmib.so
# where it has none, as -lapmib names it), and the C library, and the
# interpreter the target's own loader. On MIPS the agent and the store must
# carry a SysV hash table and no GNU one (.MIPS.xhash), which uClibc-ng's
# and musl's loaders cannot read.
#   needed_check.sh AGENT LIBC LOADER STORE
set -euo pipefail
agent=$1 libc=$2 want_loader=$3 store=$4
soname=$(readelf -d "$store" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
needed=$(readelf -d "$agent" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | paste -sd' ' -)
want=$(printf '%s\n' "${soname:-libapmib.so}" "$libc" | sort | paste -sd' ' -)
status=0
if [[ $needed != "$want" ]]; then
  echo "FAILED: NEEDED is '$needed', want '$want'"
  status=1
fi
loader=$(readelf -l "$agent" | sed -n 's/.*Requesting program interpreter: \(.*\)\]/\1/p')
if [[ -n $want_loader && $loader != "$want_loader" ]]; then
  echo "FAILED: interpreter is '$loader', want '$want_loader'"
  status=1
fi
if readelf -h "$agent" | grep -q 'Machine: *MIPS'; then
  for elf in "$agent" "$store"; do
    hashes=$(readelf -SW "$elf" | grep -oE '\.(MIPS\.x|gnu\.)?hash\b' | sort | paste -sd' ' -)
    [[ $hashes == .hash ]] || { echo "FAILED: $elf has hash tables '$hashes', want '.hash'"; status=1; }
  done
fi
[[ $status -ne 0 ]] || echo "NEEDED: $needed; interpreter: $loader"
exit $status
