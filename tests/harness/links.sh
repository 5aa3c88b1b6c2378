#!/bin/sh
# links.sh [<build_dir>]: lays out the folder links that the unit tests of
# rmtree and the version sweep need. Windows programs under Wine cannot make
# links, but a Unix symlink to a folder appears to them as a folder with
# FILE_ATTRIBUTE_REPARSE_POINT. Made afresh before every run (where links can
# be removed, the tests use them up). The tests find it through
# STONEWAKE_TEST_LINK_DIR=C:\linktest.
set -eu
BUILD_DIR=${1:-${STONEWAKE_BUILD_DIR:-$(cd "$(dirname "$0")/../.." && pwd)/build/test}}
D="$BUILD_DIR/prefix/drive_c/linktest"
rm -rf "$D"
mkdir -p "$D/outside" "$D/tree/sub" "$D/versions/v1"
echo keep >"$D/outside/keep.txt"
ln -s outside "$D/probe"
ln -s outside "$D/top"
ln -s ../../outside "$D/tree/sub/link"
ln -s ../outside "$D/versions/old"
