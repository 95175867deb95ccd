#!/bin/sh
# Line coverage of each fuzz target's code: a clang build with source-based
# coverage replays the seed and regression corpora, and any further corpus
# folders given (such as a fuzzing build's fuzz-corpus/<target>), then
# llvm-cov reports the files the target exercises.
#   tests/fuzz/coverage.sh [BUILD_DIR [CORPUS_ROOT]]
#   e.g. tests/fuzz/coverage.sh build-cov build-fuzz/tests/fuzz/fuzz-corpus
set -eu
cd "$(dirname "$0")/../.."
build=${1:-build-cov}
grown=${2:-}
flags="-fprofile-instr-generate -fcoverage-mapping"
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
targets="whole_run key_decoder line_reader number_reader lock_text"
for name in $targets; do
  cmake --build "$build" --target "fuzz_replay_$name" >/dev/null
done

# The code each target is for; the whole run is for all of the program.
files_whole_run="runtime platform/console/console.cpp platform/files/files.cpp
  platform/serial/serial_link.cpp exchange ends controller upload app/main_flow.cpp app/port_selection.cpp
  app/command_line.cpp"
files_key_decoder="platform/console/key_decoder.cpp"
files_line_reader="platform/files/files.cpp"
files_number_reader="runtime/numeric_value.cpp app/command_line.cpp app/port_selection.cpp"
files_lock_text="platform/serial/lock_text_posix.cpp"

for name in $targets; do
  profiles="$build/fuzz-coverage/$name"
  rm -rf "$profiles" && mkdir -p "$profiles"
  set -- tests/fuzz/corpus/$name tests/fuzz/regression/$name
  [ -n "$grown" ] && [ -d "$grown/$name" ] && set -- "$@" "$grown/$name"
  LLVM_PROFILE_FILE="$profiles/%p.profraw" "$build/tests/fuzz/fuzz_replay_$name" "$@" 2>/dev/null
  llvm-profdata merge -sparse "$profiles"/*.profraw -o "$profiles/merged.profdata"
  eval "files=\$files_$name"
  echo "== $name"
  # shellcheck disable=SC2086
  llvm-cov report "$build/tests/fuzz/fuzz_replay_$name" -instr-profile="$profiles/merged.profdata" \
    -show-region-summary=false -show-branch-summary=false $files | sed 's|^/.*/\(.*\)|\1|'
done
