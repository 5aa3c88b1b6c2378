#!/bin/bash
# Builds the fuzz targets natively with clang and runs each for a bounded time.
#
#   tests/fuzz/run.sh [OUT_DIR]        (default: <repo>/build/fuzz)
#   FUZZ_SECONDS=N   time per target (default 20)
#   CXX=clang++-14   compiler (default: clang++-14, else clang++)
#
# The seed corpus is copied into OUT_DIR/work/<target>/ and grown there; the
# committed corpus is never written. Any crash, sanitizer report, leak,
# timeout or failed invariant fails the run; its input is left in
# OUT_DIR/work/<target>/ as crash-*, leak-*, timeout-* or oom-*.
set -u

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out=${1:-$root/build/fuzz}
seconds=${FUZZ_SECONDS:-20}
targets="fuzz_setup_list fuzz_api_scan fuzz_tag_scan fuzz_install_paths fuzz_index"
core="src/core/decimal_core.cpp src/core/list_core.cpp src/core/address_core.cpp src/core/api_core.cpp
      src/core/part_folder_core.cpp src/core/layout_core.cpp src/core/index_core.cpp
      src/core/signature_core.cpp"

if [ -z "${CXX:-}" ]; then
    if command -v clang++-14 >/dev/null 2>&1; then CXX=clang++-14; else CXX=clang++; fi
fi
case "$seconds" in
    ''|*[!0-9]*|0) echo "FUZZ_SECONDS must be a positive whole number" >&2; exit 2 ;;
esac

flags=(-fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -g -O1
       -std=c++14 -Wall -Wextra -I"$root/src")

mkdir -p "$out/obj" || exit 2
echo "== building with $CXX into $out"
objs=()
for src in $core; do
    obj="$out/obj/$(basename "${src%.cpp}").o"
    "$CXX" "${flags[@]}" -c "$root/$src" -o "$obj" || { echo "FAILED to build $src" >&2; exit 1; }
    objs+=("$obj")
done
for t in $targets; do
    "$CXX" "${flags[@]}" "$here/$t.cpp" "${objs[@]}" -o "$out/$t" ||
        { echo "FAILED to build $t" >&2; exit 1; }
done

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

passed=0
failed=0
for t in $targets; do
    work="$out/work/$t"
    rm -rf "$work"
    mkdir -p "$work/corpus"
    cp "$here/corpus/$t/"* "$work/corpus/"
    dict=()
    [ -f "$here/$t.dict" ] && dict=(-dict="$here/$t.dict")
    echo "== $t: ${seconds}s"
    "$out/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$work/" "${dict[@]}" "$work/corpus" >"$work/log" 2>&1
    rc=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$work/log" | tail -n 1)
    findings=$(find "$work" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
        -o -name 'oom-*' \) | sort)
    if [ "$rc" -ne 0 ] || [ -n "$findings" ] || [ -z "$execs" ]; then
        failed=$((failed + 1))
        echo "FAIL $t (exit $rc, ${execs:-no} executions)"
        [ -n "$findings" ] && echo "$findings" | sed 's/^/  input: /'
        echo "  log: $work/log"
        grep -E -m 20 'ERROR|invariant failed|runtime error|SUMMARY|deadly signal|^  ' "$work/log" | sed 's/^/  | /'
    else
        passed=$((passed + 1))
        echo "ok   $t: $execs executions, corpus $(ls "$work/corpus" | wc -l) inputs"
    fi
done

echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
