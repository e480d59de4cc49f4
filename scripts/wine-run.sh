#!/usr/bin/env bash
# Run a Windows program under Wine, headless, in a private prefix:
#
#   scripts/wine-run.sh WINEPREFIX PROGRAM.exe [ARGS...]
#
# The prefix is created on first use. A persistent wineserver and Wine's
# session services are started first, detached from our output: started by the
# program itself they would inherit the caller's output pipe and hold it (and
# CTest) open for seconds after the program exits.
set -euo pipefail
export WINEPREFIX=$1
shift
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
unset DISPLAY

wine=/usr/lib/wine/wine64
[[ -x $wine ]] || wine=$(command -v wine64 || command -v wine)
server=/usr/lib/wine/wineserver64
[[ -x $server ]] || server=$(command -v wineserver64 || command -v wineserver)

[[ $WINEPREFIX == /* ]] || WINEPREFIX=$PWD/$WINEPREFIX
mkdir -p "$(dirname "$WINEPREFIX")"
# The servers must not inherit the lock, or they would hold it for good.
(
    flock 9
    "$server" -p </dev/null >/dev/null 2>&1 9>&- || true   # fails when one is running already
    "$wine" wineboot </dev/null >/dev/null 2>&1 9>&- || true  # creates the prefix, starts services
) 9>"$WINEPREFIX.lock"

exec "$wine" "$@"
