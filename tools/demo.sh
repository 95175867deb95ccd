#!/usr/bin/env bash
# Demo: FixQRV uploads the sample program into the bundled controller
# simulator, in this terminal, then prints the row the run added to the
# upload log. Runs in a scratch folder so COMMPORT.NUM and the simulator's
# records stay out of the source tree.
#   tools/demo.sh [fixqrv arguments]      (default: 3, the simulator's port)
#   SIM_OPTIONS="--asleep --password 1234" tools/demo.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
work=$(mktemp -d "${TMPDIR:-/tmp}/fixqrv-demo.XXXXXX")
# The upload log, found as FixQRV finds it; a relative FIXQRV_LOG is taken
# from here, not from the scratch folder.
log=${FIXQRV_LOG:-}
case $log in
  [Oo][Ff][Ff]) log= ;;
  /*) ;;
  ?*) log=$PWD/$log; export FIXQRV_LOG=$log ;;
  *) case ${XDG_STATE_HOME:-} in
       /*) log=$XDG_STATE_HOME/fixqrv/uploads.csv ;;
       *) log=${HOME:+$HOME/.local/state/fixqrv/uploads.csv} ;;
     esac ;;
esac
logged=0
[ -n "$log" ] && [ -f "$log" ] && logged=$(wc -c < "$log")
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
if [ -n "$log" ] && [ -f "$log" ] && [ "$(wc -c < "$log")" -gt "$logged" ]; then
  echo "The upload log $log gained:"
  tail -c +$((logged + 1)) "$log" | tr -d '\r'
fi
exit "$status"
