#!/bin/bash
# Runs a command with an X display for Wine's windows: a private Xvfb on a free
# display number, stopped afterwards. Only what this script started is stopped.
set -u
if [ "${MIRQ_USE_DISPLAY:-0}" = 1 ] && [ -n "${DISPLAY:-}" ]; then
    exec "$@"
fi
n=90
while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
export DISPLAY=":$n"
"$@"
rc=$?
kill "$xvfb_pid" 2>/dev/null
wait "$xvfb_pid" 2>/dev/null
exit $rc
