#!/usr/bin/env bash
# Sets up what is missing, builds, and runs every test under Wine and Xvfb.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${QH_BUILD:-$ROOT/build}
"$ROOT/scripts/setup.sh"
. "$ROOT/scripts/xsession.sh"
qh_start_session
start=$(date +%s)
set +e
ctest --test-dir "$BUILD" --output-on-failure --timeout 900 "$@"
rc=$?
set -e
echo "tests ran in $(( $(date +%s) - start )) s"
exit $rc
