#!/bin/bash
# Runs every benchmark: bash bench/run.sh [<build dir>]   (default build/bench)
#
# Builds what the benchmarks need (a test build; a new build folder is
# configured with the release host localhost:$STONEWAKE_BENCH_PORT, default
# 47515), prepares its Wine prefix, then runs each benchmark script. Each
# prints its table and writes <build>/bench/<name>.json; bench/chart.py draws
# them all into <build>/bench/chart.png. The release host double runs inside
# each script. Takes about 25 minutes on 2 cores.
set -euo pipefail

REPO=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(mkdir -p "${1:-$REPO/build/bench}" && cd "${1:-$REPO/build/bench}" && pwd)
PY=/usr/bin/python3

cd "$REPO"
# The chart is drawn with Debian's matplotlib, installed here when missing.
if ! "$PY" -c "import matplotlib" 2>/dev/null; then
    sudo_cmd=(); [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 install -y -qq python3-matplotlib
fi
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
"$PY" "$REPO/bench/chart.py" "$BUILD" || failed=1
echo
echo "bench: done in $((SECONDS - start)) s; results in $BUILD/bench/*.json"
exit $failed
