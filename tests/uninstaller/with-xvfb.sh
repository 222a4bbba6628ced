#!/bin/sh
# Runs a test program on a private X display (xvfb-run). Without xvfb-run the program runs
# without one and skips its tests; listing the tests needs no display.
case "$*" in *--gtest_list_tests*) exec "$@" ;; esac
if command -v xvfb-run >/dev/null 2>&1; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$@"
fi
exec "$@"
