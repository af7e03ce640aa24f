#!/usr/bin/env bash
# The agent's dynamic section and program header, as the router's loader
# reads them: NEEDED must be exactly the store and the C library, and the
# interpreter the target's own loader. On MIPS the agent and the stand-in
# store must carry a SysV hash table and no GNU one (.MIPS.xhash), which
# uClibc-ng's and musl's loaders cannot read.
#   needed_check.sh AGENT "LIB..." [LOADER [STORE]]
set -euo pipefail
agent=$1 want_needed=$2 want_loader=${3:-}
needed=$(readelf -d "$agent" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | paste -sd' ' -)
want=$(tr ' ' '\n' <<<"$want_needed" | sort | paste -sd' ' -)
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
  for elf in "$agent" ${4:-}; do
    hashes=$(readelf -SW "$elf" | grep -oE '\.(MIPS\.x|gnu\.)?hash\b' | sort | paste -sd' ' -)
    [[ $hashes == .hash ]] || { echo "FAILED: $elf has hash tables '$hashes', want '.hash'"; status=1; }
  done
fi
[[ $status -ne 0 ]] || echo "NEEDED: $needed; interpreter: $loader"
exit $status
