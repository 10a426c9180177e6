#!/bin/bash
# Runs a program from its own folder, in a process group of its own that holds the
# terminal, so that Ctrl-C reaches the program alone and not the make that started it (make
# would end with "Interrupt" and status 130 whatever the program did). The status is the
# program's. Without a terminal the program simply runs in the caller's place.
set -e
program=${1:?usage: run-in-foreground.sh PROGRAM}
cd "$(dirname "$program")"
program="./$(basename "$program")"
if [ -t 0 ] && [ -t 1 ]; then
    set -m
    "$program" &
    fg %1 >/dev/null
else
    exec "$program"
fi
