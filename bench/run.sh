#!/bin/bash
# Runs every benchmark: bash bench/run.sh [<build dir>]   (default build/bench)
#
# Builds what the benchmarks need (a test build; a new build folder is
# configured with the release host localhost:$STONEWAKE_BENCH_PORT, default
# 47515), prepares its Wine prefix, then runs each benchmark script. Each
# prints its table and writes <build>/bench/<name>.json. The release host
# double runs inside each script. Takes about 5 minutes on 2 cores.
set -euo pipefail

REPO=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(mkdir -p "${1:-$REPO/build/bench}" && cd "${1:-$REPO/build/bench}" && pwd)
PY=/usr/bin/python3

cd "$REPO"
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake --preset test -B "$BUILD" -DSTONEWAKE_RELEASE_HOST=localhost:${STONEWAKE_BENCH_PORT:-47515}
fi
cmake --build "$BUILD" --target StonewakeBuilder-Setup download_main platform_main bare_launch shell_launch recorder spawn tar trustca
bash tests/harness/prefix.sh "$BUILD" >/dev/null

start=$SECONDS
failed=0
for name in download install update faststart; do
    "$PY" "$REPO/bench/bench_$name.py" "$BUILD" || failed=1
done
echo
echo "bench: done in $((SECONDS - start)) s; results in $BUILD/bench/*.json"
exit $failed
