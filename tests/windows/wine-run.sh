#!/bin/sh
# Runs a Windows program under Wine in a private prefix:
#   wine-run.sh WINE PREFIX PROGRAM [ARGS...]
# The prefix is created on first use, without the Mono and Gecko installers
# (there is nothing to fetch them from); Wine's own messages are silenced.
wine=$1
prefix=$2
shift 2
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
exec "$wine" "$@"
