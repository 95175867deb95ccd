#!/bin/sh
# Runs one fuzz target for a bounded time, starting from its seed and
# regression corpora. What it learns stays in the build folder
# (fuzz-corpus/<target>), so later runs of the same build go on from there.
# A finding fails the run; its input is kept in fuzz-findings/<target>/ and
# printed in base64, so that it can be taken from a CI log:
#   echo '<base64>' | base64 -d > tests/fuzz/regression/<target>/<name>
# Usage: run_fuzzer.sh BINARY TARGET SOURCE_DIR BUILD_DIR SECONDS [libFuzzer options]
set -eu
binary=$1 name=$2 source=$3 build=$4 seconds=$5
shift 5
work=$build/fuzz-corpus/$name
findings=$build/fuzz-findings/$name
mkdir -p "$work" "$findings"
set -- "$@" "$work" "$source/corpus/$name"
[ -d "$source/regression/$name" ] && set -- "$@" "$source/regression/$name"
status=0
"$binary" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$findings/" "$@" || status=$?
if [ "$status" -ne 0 ]; then
  echo "fuzz target $name: finding (exit $status); the input, in base64:"
  for input in "$findings"/*; do
    [ -f "$input" ] || continue
    echo "$input"
    base64 -w 76 "$input"
  done
  exit 1
fi
