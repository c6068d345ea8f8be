#!/usr/bin/env python3
"""Many-address attack on a running tvlService, and a newcomer measured under it.

  attack_load.py PORT PID [ADDRESSES] [SECONDS] [TLS_PORT CA_FILE]

ADDRESSES (default 200) source addresses 127.0.1.1.. and 127.0.2.1.. each
hold, at once: guest places (PLACES each), a waiting stream of every place,
idle connections, unfinished requests, and wrong password checks in a loop;
with TLS_PORT, also TLS connections that never send a hello (SILENT_TLS) and
that send the start of one and no more (SLOW_TLS).
Every attacker stops after SECONDS (default 30) or when its counts are
reached. Meanwhile a newcomer enters 20 times (each a new guest from a new
address 127.0.3.x) and polls for a line a speaker from 127.0.4.1 posts: the time to
enter and the time from the post until the newcomer has the line, median and worst of 20. The server's peak
resident memory (VmHWM) and most threads are read from /proc/PID/status.
With TLS_PORT, each newcomer also asks for the start page over HTTPS (its
certificate checked against CA_FILE): the time to the whole page.
"""
import socket
import ssl
import statistics
import sys
import threading
import time

PLACES = 5
IDLE = 5
UNFINISHED = 3
SILENT_TLS = 3
SLOW_TLS = 2
# A handshake record announcing 512 bytes, and the first few of a hello.
HELLO_START = b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03"
GUESSES = 50  # at most this many wrong password checks per address, one at a time


def status(pid):
    hwm = threads = 0
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                hwm = int(line.split()[1])
            elif line.startswith("Threads:"):
                threads = int(line.split()[1])
    return hwm, threads


def connect(port, source):
    s = socket.socket()
    s.settimeout(5)
    s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    return s


def ask(port, source, path, method="GET", body=""):
    """The whole answer to one request (HTTP/1.0: the server closes)."""
    with connect(port, source) as s:
        extra = f"Content-Type: application/x-www-form-urlencoded\r\nContent-Length: {len(body)}\r\n" \
            if method == "POST" else ""
        s.sendall(f"{method} {path} HTTP/1.0\r\nHost: 127.0.0.1:{port}\r\n{extra}\r\n{body}".encode())
        out = b""
        while True:
            part = s.recv(65536)
            if not part:
                return out.decode("latin-1")
            out += part


def enter(port, source, name):
    """The place's key, or None when not admitted."""
    answer = ask(port, source, f"/chat.ghp?username={name}&password=&room=1&sex=1")
    mark = f"username={name}&amp;password="
    at = answer.find(mark)
    if at < 0:
        return None
    start = at + len(mark)
    return answer[start:answer.find("&", start)]


COUNT_LOCK = threading.Lock()


def count(stats, key):
    with COUNT_LOCK:
        stats[key] += 1


def attacker(port, source, tag, deadline, held, stats, tls_port):
    try:
        for i in range(IDLE):
            held.append(connect(port, source))
        if tls_port:
            for i in range(SILENT_TLS):
                held.append(connect(tls_port, source))
            for i in range(SLOW_TLS):
                s = connect(tls_port, source)
                s.sendall(HELLO_START)
                held.append(s)
        for i in range(UNFINISHED):
            s = connect(port, source)
            s.sendall(b"GET /index.ghp HTTP/1.1\r\nHost: x")
            held.append(s)
        for i in range(PLACES):
            if time.monotonic() > deadline:
                return
            name = f"a{tag}x{i}"
            key = enter(port, source, name)
            if key is None:
                count(stats, "refused")
                continue
            count(stats, "places")
            s = connect(port, source)
            s.sendall(f"GET /body.ghp?username={name}&password={key}&room=1&wait=1 HTTP/1.1\r\n"
                      f"Host: x\r\n\r\n".encode())
            held.append(s)  # a wait, never read
        for i in range(GUESSES):
            if time.monotonic() > deadline:
                return
            ask(port, source, f"/chat.ghp?username=admin&password=wrong{tag}x{i}&room=1")
            count(stats, "guesses")
    except OSError:
        count(stats, "errors")


def https_page(tls_port, source, context):
    """The whole start page over HTTPS (HTTP/1.0: the server closes)."""
    with context.wrap_socket(connect(tls_port, source), server_hostname="127.0.0.1") as s:
        s.sendall(f"GET / HTTP/1.0\r\nHost: 127.0.0.1:{tls_port}\r\n\r\n".encode())
        out = b""
        while True:
            part = s.recv(65536)
            if not part:
                return out
            out += part


def newcomer(port, tls_port, ca_file, rounds=20):
    """Each round a new guest from a new address 127.0.3.x enters, and a
    line a speaker from 127.0.4.1 posts is polled for until the newcomer
    receives it; with tls_port, the newcomer then asks for the start page
    over HTTPS."""
    speaker_source = "127.0.4.1"
    entering, line, secure = [], [], []
    context = ssl.create_default_context(cafile=ca_file) if tls_port else None
    speaker_key = None
    for r in range(rounds):
        if speaker_key is None:
            speaker_key = enter(port, speaker_source, f"speaker{r}")
            speaker = f"speaker{r}"
        name = f"new{r}"
        source = f"127.0.3.{1 + r}"  # each a new network
        t0 = time.monotonic()
        key = enter(port, source, name)
        t1 = time.monotonic()
        if key is None or speaker_key is None:
            print(f"  newcomer {name} was not admitted", flush=True)
            continue
        entering.append(t1 - t0)
        body_path = f"/body.ghp?username={name}&password={key}&room=1"
        ask(port, source, body_path)  # what was there before
        token = f"NEWCOMER_{r}_LINE"
        form = (f"message={token}&chat_flag=1&mtowho=All&mfilters=0&mfont=-1&mfcolor=1"
                f"&elist=0&seltype=0&msg=")
        t2 = time.monotonic()
        ask(port, speaker_source, f"/chatsubmit.ghp?username={speaker}&password={speaker_key}&room=1",
            "POST", form)
        got = False
        while time.monotonic() - t2 < 10 and not got:
            got = token in ask(port, source, body_path)
        if got:
            line.append(time.monotonic() - t2)
        else:
            print(f"  newcomer {name} did not get the line within 10 s", flush=True)
        if context:
            t3 = time.monotonic()
            try:
                if b" 200 " in https_page(tls_port, source, context)[:20]:
                    secure.append(time.monotonic() - t3)
                else:
                    print(f"  newcomer {name} got no start page over HTTPS", flush=True)
            except (OSError, ssl.SSLError) as e:
                print(f"  newcomer {name} over HTTPS: {e}", flush=True)
        time.sleep(1.1)  # the speaker's own bound on posting
    return entering, line, secure


def figures(label, values):
    if not values:
        return f"{label}: none"
    return f"{label}: median {statistics.median(values) * 1000:.0f} ms, " \
           f"worst {max(values) * 1000:.0f} ms ({len(values)} of 20)"


def main():
    port, pid = int(sys.argv[1]), int(sys.argv[2])
    addresses = int(sys.argv[3]) if len(sys.argv) > 3 else 200
    seconds = float(sys.argv[4]) if len(sys.argv) > 4 else 30
    tls_port = int(sys.argv[5]) if len(sys.argv) > 5 else 0
    ca_file = sys.argv[6] if len(sys.argv) > 6 else None
    deadline = time.monotonic() + seconds
    held, stats = [], {"places": 0, "refused": 0, "guesses": 0, "errors": 0}
    threads = []
    for n in range(addresses):
        source = f"127.0.{1 + n // 100}.{1 + n % 100}"
        t = threading.Thread(target=attacker, args=(port, source, n, deadline, held, stats, tls_port),
                             daemon=True)
        t.start()
        threads.append(t)
    most_threads = 0
    time.sleep(2)  # the attack under way
    watch_stop = threading.Event()

    def watch():
        nonlocal most_threads
        while not watch_stop.is_set():
            most_threads = max(most_threads, status(pid)[1])
            time.sleep(0.2)

    watcher = threading.Thread(target=watch, daemon=True)
    watcher.start()
    entering, line, secure = newcomer(port, tls_port, ca_file)
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()))
    watch_stop.set()
    watcher.join()
    hwm, _ = status(pid)
    print(f"  attack: {addresses} addresses, {stats['places']} places taken ({stats['refused']} refused), "
          f"{len(held)} connections held (idle, unfinished, waits, TLS), {stats['guesses']} wrong password "
          f"checks, {stats['errors']} attackers cut short", flush=True)
    print("  " + figures("newcomer enters", entering))
    print("  " + figures("newcomer's line back", line))
    if tls_port:
        print("  " + figures("newcomer's start page over HTTPS", secure))
    print(f"  server: peak resident {hwm // 1024} MiB (VmHWM), most threads {most_threads}")
    for s in held:
        s.close()


if __name__ == "__main__":
    main()
