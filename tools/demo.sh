#!/usr/bin/env bash
# Demo: FixQRV uploads the sample program into the bundled controller
# simulator, in this terminal. Runs in a scratch folder so COMMPORT.NUM and
# the simulator's records stay out of the source tree.
#   tools/demo.sh [fixqrv arguments]      (default: 3, the simulator's port)
#   SIM_OPTIONS="--asleep --password 1234" tools/demo.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
work=$(mktemp -d "${TMPDIR:-/tmp}/fixqrv-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$root/examples/QRV1.BAS" "$root/examples/QRV2.BAS" "$work/"
cd "$work"
[ $# -gt 0 ] || set -- 3
status=0
# shellcheck disable=SC2086
"$build/tools/fixqrv-sim" --port 3 ${SIM_OPTIONS:-} --received received.txt -- "$build/fixqrv" "$@" || status=$?
lines=0
[ -f received.txt ] && lines=$(wc -l < received.txt)
echo "FixQRV exited with $status; the simulator received $lines program lines."
exit "$status"
