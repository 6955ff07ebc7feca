#!/bin/sh
# Runs a test exe under the build's Wine (RQ47_WINE), on the test display when the test world
# has one.
if [ -n "${TESTENV_DIR-}" ] && [ -f "$TESTENV_DIR/display" ]; then
    DISPLAY=$(cat "$TESTENV_DIR/display")
    export DISPLAY
fi
exec "${RQ47_WINE:-wine}" "$@"
