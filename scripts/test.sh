#!/usr/bin/env bash
# Builds kelvorn with warnings as errors and runs every test: unit tests,
# the build checks and the end-to-end scenarios.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake -S . -B build -DKELVORN_WERROR=ON
cmake --build build -j "$(nproc)"
ctest --test-dir build --output-on-failure -j "$(nproc)"
