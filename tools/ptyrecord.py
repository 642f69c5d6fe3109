#!/usr/bin/env python3
"""A silent device for the Windows checks: opens a pseudo-terminal, prints its slave's path, and
appends every byte a program writes to it to FILE, answering nothing. Ends when stdin closes."""
import os
import pty
import select
import sys
import tty

master, slave = pty.openpty()
tty.setraw(master)
tty.setraw(slave)  # the slave stays open here, so the link never hangs up between programs
print(os.ttyname(slave), flush=True)
with open(sys.argv[1], "ab", buffering=0) as out:
    while True:
        ready, _, _ = select.select([master, sys.stdin], [], [])
        if sys.stdin in ready and not sys.stdin.readline():
            break
        if master in ready:
            out.write(os.read(master, 4096))
