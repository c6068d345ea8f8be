#!/usr/bin/env python3
"""Connection load against a tvlService on 127.0.0.1, for bench/conn/run.sh.
Every mode is bounded in count and time and prints one line per figure.

  ladder PORT PID STEPS PATH     hold idle connections in steps (e.g.
                                 5000,10000,20000); at each step: resident
                                 memory and threads of PID, and the time a
                                 new client takes for GET PATH (20 tries)
  hostile PORT PID COUNT SIZE SECONDS
                                 COUNT connections each sending SIZE bytes
                                 of a request that never ends, for at most
                                 SECONDS; peak resident memory of PID
  hog PORT PID COUNT PATH        one client (127.0.0.1) opens up to COUNT
                                 idle connections, as many as it can; then
                                 a newcomer from 127.0.0.2 asks for PATH 20
                                 times: its time to the first byte of the
                                 answer, and how many of the hog's
                                 connections the server closed meanwhile
  stop PORT PID IDLE STALLED BIGPATH POSTERS
                                 IDLE idle connections, STALLED clients that
                                 ask for BIGPATH and never read, POSTERS
                                 threads posting without pause; then SIGTERM
                                 to PID and the time until it has ended
"""
import os
import select
import signal
import socket
import sys
import threading
import time

HOST = "127.0.0.1"


def status(pid):
    """(resident KiB, peak resident KiB, threads) of a process."""
    rss = hwm = threads = 0
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
            elif line.startswith("VmHWM:"):
                hwm = int(line.split()[1])
            elif line.startswith("Threads:"):
                threads = int(line.split()[1])
    return rss, hwm, threads


def open_idle(port, count, into, deadline):
    """Opens connections until `into` holds `count` or the time is up."""
    while len(into) < count and time.monotonic() < deadline:
        try:
            s = socket.create_connection((HOST, port), timeout=5)
        except OSError as e:
            print(f"  connect failed after {len(into)}: {e}", flush=True)
            return False
        into.append(s)
    return len(into) >= count


def one_get(port, path):
    """Milliseconds for connect, GET and the whole answer; None on failure."""
    start = time.perf_counter()
    try:
        with socket.create_connection((HOST, port), timeout=5) as s:
            s.sendall(f"GET {path} HTTP/1.0\r\n\r\n".encode())
            got = b""
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                got += chunk
    except OSError:
        return None
    if not got.startswith(b"HTTP/1.0 200"):
        return None
    return (time.perf_counter() - start) * 1000.0


def probe(port, path, tries=20):
    times = []
    failed = 0
    for _ in range(tries):
        t = one_get(port, path)
        if t is None:
            failed += 1
        else:
            times.append(t)
        time.sleep(0.02)
    times.sort()
    if not times:
        return "no answer"
    med = times[len(times) // 2]
    return (f"new client: median {med:.1f} ms, max {times[-1]:.1f} ms"
            f"{', %d failed' % failed if failed else ''}"), times[-1], failed


def ladder(port, pid, steps, path):
    held = []
    start = time.monotonic()
    # Idle connections are closed by the server after 120 s without a byte:
    # the whole ladder must stay well inside that.
    deadline = start + 100
    best = 0
    rss0, _, thr0 = status(pid)
    print(f"  0 idle: {rss0} KiB resident, {thr0} threads", flush=True)
    for step in steps:
        ok = open_idle(port, step, held, deadline)
        time.sleep(2)  # let the server start every client thread
        alive = sum(1 for s in held if s.fileno() >= 0)
        rss, _, threads = status(pid)
        res = probe(port, path)
        if isinstance(res, str):
            print(f"  {alive} idle: {rss} KiB resident, {threads} threads; {res}", flush=True)
            break
        text, worst, failed = res
        print(f"  {alive} idle: {rss} KiB resident ({(rss - rss0) / max(alive, 1):.1f} KiB each), "
              f"{threads} threads; {text} ({time.monotonic() - start:.0f} s into the ladder)",
              flush=True)
        if worst <= 50.0 and not failed:
            best = alive
        if not ok:
            break
    print(f"  largest count held with every new client served within 50 ms: {best}", flush=True)
    for s in held:
        s.close()


def hostile(port, pid, count, size, seconds):
    rss0, _, thr0 = status(pid)
    socks = []
    for _ in range(count):
        try:
            s = socket.create_connection((HOST, port), timeout=5)
        except OSError as e:
            print(f"  connect failed after {len(socks)}: {e}", flush=True)
            break
        s.setblocking(False)
        socks.append(s)
    time.sleep(2)  # every client thread started: the cost of the connections alone
    rss_open, _, thr_open = status(pid)
    sent = {s: 0 for s in socks}
    # "GET /x" and then bytes that never end the request.
    block = b"GET /" + b"a" * 65531
    closed = 0
    peak = rss0
    end = time.monotonic() + seconds
    live = list(socks)
    while live and time.monotonic() < end:
        progress = False
        still = []
        for s in live:
            if sent[s] >= size:
                still.append(s)
                continue
            try:
                sent[s] += s.send(block[: min(len(block), size - sent[s])])
                progress = True
                still.append(s)
            except BlockingIOError:
                still.append(s)
            except OSError:
                closed += 1
                s.close()
        live = still
        peak = max(peak, status(pid)[0])
        if all(sent[s] >= size for s in live):
            break
        if not progress:
            time.sleep(0.05)
    # Connections the server closed after their last byte was taken.
    still = []
    for s in live:
        try:
            if s.recv(1) == b"":
                closed += 1
                s.close()
                continue
        except BlockingIOError:
            pass
        except OSError:
            closed += 1
            s.close()
            continue
        still.append(s)
    live = still
    time.sleep(1)
    rss, hwm, threads = status(pid)
    full = sum(1 for s in live if sent[s] >= size)
    total = sum(sent.values())
    print(f"  {len(socks)} connections sent {total / 1048576:.0f} MiB of unfinished requests; "
          f"{closed} were closed by the server, {full} delivered all {size} bytes", flush=True)
    top = max(peak, hwm)
    print(f"  resident memory: {rss0} KiB before, {rss_open} KiB with the {len(socks)} connections "
          f"open and silent ({thr_open} threads), peak {top} KiB while they sent, {rss} KiB at "
          f"the end ({threads} threads)", flush=True)
    print(f"  growth from sending: {(top - rss_open) / 1024:.1f} MiB at the peak (bound on unfinished "
          f"requests: 64 MiB; the first receive of each also touches 4 KiB of its thread's stack)",
          flush=True)
    for s in live:
        s.close()


def stop(port, pid, idle, stalled, bigpath, posters):
    held = []
    open_idle(port, idle, held, time.monotonic() + 60)
    readers = []
    for _ in range(stalled):
        s = socket.create_connection((HOST, port), timeout=5)
        s.sendall(f"GET {bigpath} HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n".encode())
        readers.append(s)  # never read
    stop_flag = threading.Event()
    posted = [0]

    def post_loop():
        line = "a" * 3000
        body = f"username=bench&password=&room=1&msg={line}&chat_flag=1"
        req = (f"POST /chatsubmit.ghp?username=bench&password=&room=1 HTTP/1.0\r\n"
               f"Content-Length: {len(body)}\r\n\r\n{body}").encode()
        while not stop_flag.is_set():
            try:
                with socket.create_connection((HOST, port), timeout=5) as s:
                    s.sendall(req)
                    while s.recv(65536):
                        pass
                posted[0] += 1
            except OSError:
                if stop_flag.is_set():
                    break
                time.sleep(0.01)

    threads = [threading.Thread(target=post_loop, daemon=True) for _ in range(posters)]
    for t in threads:
        t.start()
    time.sleep(3)
    rss, _, nthreads = status(pid)
    print(f"  load: {len(held)} idle, {len(readers)} stalled readers of {bigpath}, "
          f"{posters} posters ({posted[0]} posts so far); {rss} KiB resident, {nthreads} threads",
          flush=True)
    start = time.monotonic()
    os.kill(pid, signal.SIGTERM)
    ended = None
    while time.monotonic() - start < 60:
        try:
            os.kill(pid, 0)
            with open(f"/proc/{pid}/stat") as f:
                if f.read().split(") ")[1].startswith("Z"):
                    ended = time.monotonic() - start
                    break
        except (ProcessLookupError, FileNotFoundError):
            ended = time.monotonic() - start
            break
        time.sleep(0.01)
    stop_flag.set()
    if ended is None:
        print("  SIGTERM: still running after 60 s", flush=True)
    else:
        print(f"  SIGTERM: ended after {ended:.2f} s", flush=True)
    for s in held + readers:
        s.close()


def first_byte(port, path, source):
    """Milliseconds from connect to the first byte of the answer to GET
    PATH, from the source address; None when no answer came."""
    start = time.perf_counter()
    try:
        with socket.create_connection((HOST, port), timeout=5,
                                      source_address=(source, 0)) as s:
            s.sendall(f"GET {path} HTTP/1.0\r\n\r\n".encode())
            if not s.recv(1):
                return None
            took = (time.perf_counter() - start) * 1000.0
            while s.recv(65536):
                pass
            return took
    except OSError:
        return None


def hog(port, pid, count, path):
    held = []
    open_idle(port, count, held, time.monotonic() + 60)
    time.sleep(2)  # let the server take every connection
    rss, _, threads = status(pid)
    print(f"  hog holds {len(held)} connections; server {rss} KiB resident, "
          f"{threads} threads", flush=True)
    times = []
    failed = 0
    for _ in range(20):
        t = first_byte(port, path, "127.0.0.2")
        if t is None:
            failed += 1
        else:
            times.append(t)
        time.sleep(0.05)
    closed = 0
    watch = select.poll()
    for s in held:
        watch.register(s, select.POLLIN)
    ready = {fd for fd, _ in watch.poll(0)}
    for s in held:
        if s.fileno() in ready:
            try:
                if not s.recv(1):
                    closed += 1
            except OSError:
                closed += 1
    times.sort()
    if times:
        print(f"  newcomer time to first byte: median {times[len(times) // 2]:.1f} ms, "
              f"max {times[-1]:.1f} ms, {failed} of 20 without an answer", flush=True)
    else:
        print("  newcomer: no answer in 20 tries", flush=True)
    print(f"  hog connections the server closed: {closed} of {len(held)}", flush=True)
    for s in held:
        s.close()


def main():
    mode = sys.argv[1]
    a = sys.argv[2:]
    if mode == "ladder":
        ladder(int(a[0]), int(a[1]), [int(x) for x in a[2].split(",")], a[3])
    elif mode == "hostile":
        hostile(int(a[0]), int(a[1]), int(a[2]), int(a[3]), float(a[4]))
    elif mode == "hog":
        hog(int(a[0]), int(a[1]), int(a[2]), a[3])
    elif mode == "stop":
        stop(int(a[0]), int(a[1]), int(a[2]), int(a[3]), a[4], int(a[5]))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
