#!/usr/bin/env bash
# The main job: builds everything, then runs a real first install of the
# Stonewake Builder from the bundled local release host, under Wine, in
# window mode under Xvfb; prints the Builder home's tree and what the Builder
# received, and saves a picture of the progress window.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/build.sh

# The job's own prefix keeps Wine's X11 driver (the tests use the null one),
# and shares the test build's doubles.
mkdir -p build/main
ln -sfn ../test/doubles build/main/doubles
export STONEWAKE_PREFIX_GRAPHICS=x11
xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
  bash tests/harness/prefix.sh build/main >/dev/null
  exec /usr/bin/python3 scripts/main_job.py'
