#!/usr/bin/env python3
"""Opens COUNT idle connections to 127.0.0.1:PORT, holds them for HOLD
seconds, then closes them. Bounded: it never opens more than COUNT and ends
by itself. Prints how many connections were open."""
import socket
import sys
import time

port, count, hold = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
sockets = []
for _ in range(count):
    try:
        s = socket.create_connection(("127.0.0.1", port), timeout=2)
        sockets.append(s)
    except OSError:
        break
print(len(sockets), flush=True)
time.sleep(hold)
for s in sockets:
    s.close()
