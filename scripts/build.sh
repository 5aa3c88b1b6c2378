#!/usr/bin/env bash
# Installs what is missing, then builds the release executable (build/release)
# and the test build with its doubles and tests (build/test).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
cmake --preset test >/dev/null
cmake --build --preset test
