#!/usr/bin/env bash
# Builds kelvorn and runs it once, as on a router, inside a sandbox: the
# stand-in store holds WAN MAC 00:1a:2b:3c:4d:5e, eth1 is at 10.0.0.2 and a
# local HTTPS inventory service answers the report.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh host
cmake -S . -B build
cmake --build build -j "$(nproc)"
python3 tests/e2e/e2e_test.py --agent build/kelvorn --demo
