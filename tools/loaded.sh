#!/usr/bin/env bash
# Runs a command beside the load a CI host or bench PC puts on it: two CPU-bound loops and a
# program that keeps opening and closing pseudo-terminals (terminals, ssh sessions and other test
# runs do that), a handful held at a time, so that a pty number freed is soon handed out again.
# Usage: tools/loaded.sh COMMAND [ARG...]; exits with the command's status.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/harness.sh
for _ in 1 2; do
    sh -c 'while :; do :; done' &
    harness_track $!
done
python3 -c '
import os, pty, random, time
held = []
while True:
    held.append(pty.openpty())
    if len(held) > 4:
        for fd in held.pop(random.randrange(len(held))):
            os.close(fd)
    time.sleep(0.01)
' &
harness_track $!
echo "== loaded: two busy loops and a pty churner beside: $*"
status=0
"$@" || status=$?
echo "== loaded: $* exited $status"
exit $status
