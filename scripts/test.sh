#!/usr/bin/env bash
# Runs every test: builds the release and test executables, prepares the Wine
# test prefix, then runs the resource check, the failure contract (every
# function that can end the run is marked so, and no job that runs beside the
# worker can end it), the include order (no folder
# rests on one to its right), the unit tests (GoogleTest under
# Wine, through CTest), the fuzzers (libFuzzer, natively), the release tool's
# tests (pytest, natively) and the end-to-end tests (pytest, the real
# executable under Wine against the test doubles).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/build.sh
bash tests/harness/prefix.sh build/test
bash tests/harness/links.sh build/test

echo "== resources"
/usr/bin/python3 res/check_resources.py build/release/StonewakeBuilder-Setup.exe
/usr/bin/python3 res/check_resources.py build/test/StonewakeBuilder-Setup.exe

echo "== size"
# The release build above trusts the test keys (they add code and data); the
# limit holds for the setup without keys, built on its own from the release
# preset (only the executable).
cmake --preset release -B build/size -DSTONEWAKE_LIST_KEYS=none >/dev/null
cmake --build build/size --target StonewakeBuilder-Setup >/dev/null
/usr/bin/python3 tests/harness/exe_size.py build/size/StonewakeBuilder-Setup.exe 98304
# The executable starts without the runtime's start-up code, which is what
# would run static constructors: the program must have none.
if x86_64-w64-mingw32-objdump -h build/size/setup_whole.obj | grep -Eq ' \.(ctors|dtors|CRT\$X)'; then
  echo "size: build/size/setup_whole.obj holds static constructors, which nothing would run" >&2
  exit 1
fi

echo "== failure contract"
/usr/bin/python3 tests/harness/failure_contract.py src

echo "== include order"
/usr/bin/python3 tests/harness/include_order.py src

echo "== function lengths"
/usr/bin/python3 tests/harness/function_lengths.py src tools

echo "== unit tests (under Wine)"
STONEWAKE_BUILD_DIR="$PWD/build/test" STONEWAKE_TEST_LINK_DIR='C:\linktest' ctest --preset test

echo "== fuzzing"
FUZZ_SECONDS="${FUZZ_SECONDS:-20}" bash tests/fuzz/run.sh build/fuzz

echo "== release tool (native)"
/usr/bin/python3 -m pytest -q -p no:cacheprovider tests/tools

echo "== end-to-end tests (under Wine)"
STONEWAKE_BUILD_DIR="$PWD/build/test" STONEWAKE_E2E_STRICT=1 \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/e2e
