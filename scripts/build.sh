#!/usr/bin/env bash
# Installs what is missing, then builds the release executable (build/release),
# the native release tool (build/tools/stonewake-release) and the test build
# with its doubles and tests (build/test).
# STONEWAKE_TEST_HOST (host:port) moves the test build's loopback release host,
# so that two checkouts on one machine can run their tests side by side.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
# The test build makes its own publisher key pairs (build/test/keys); the
# release build trusts them too, so that the main job's lists are accepted,
# unless STONEWAKE_LIST_KEYS names the publisher's real keys (or none).
cmake --preset test ${STONEWAKE_TEST_HOST:+-DSTONEWAKE_RELEASE_HOST="$STONEWAKE_TEST_HOST"} >/dev/null
keys=${STONEWAKE_LIST_KEYS:-$(cat build/test/keys/publisher.pub),$(cat build/test/keys/spare/publisher.pub)}
cmake --preset release -DSTONEWAKE_LIST_KEYS="$keys" >/dev/null
cmake --build --preset release
cmake --preset tools >/dev/null
cmake --build --preset tools
cmake --build --preset test
