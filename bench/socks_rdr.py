#!/usr/bin/env python3
"""Side-by-side benchmark of the proxy's SOCKS server and port redirector.

Starts nginx (the origin: a 1 KiB and a 10 MiB file), valdrin_proxy (SOCKS 5
with one account, and one redirect binding to the origin), dante and
microsocks (SOCKS peers), rinetd and socat (redirect peers), all on loopback,
each with its own configuration in a temporary folder; runs every workload
row by row and rep by rep (rep 1 of every row, then rep 2, ...), stops
exactly the processes it started, and prints one markdown table per workload
with medians and ratios to the direct row and to the best peer. Helpers and
conventions are those of run.py.
"""

import argparse
import ctypes
import hashlib
import json
import os
import re
import select
import selectors
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import run as base  # noqa: E402  (the HTTP bench: processes, /proc readers, tables)

log, med, fmt, ratio = base.log, base.med, base.fmt, base.ratio
SMALL, BULK, SMALL_SIZE, BULK_SIZE = base.SMALL, base.BULK, base.SMALL_SIZE, base.BULK_SIZE

USER, PASSWORD = "bench", "b3nch-pass"
SOCKS_PEERS = ("dante", "microsocks")
RDR_PEERS = ("rinetd", "socat")
SOCKS_ROWS = ("direct", "valdrin") + SOCKS_PEERS
RDR_ROWS = ("direct", "valdrin") + RDR_PEERS
ALL_ROWS = ("direct", "valdrin") + SOCKS_PEERS + RDR_PEERS
ALL_WORKLOADS = ("s1", "s2", "s3")
# What each SOCKS row asks of its clients.
AUTH = {
    "direct": "—",
    "valdrin": "user/password",
    # Its username method checks the system's accounts: a benchmark adds none.
    "dante": "no auth",
    "microsocks": "user/password",
}
HIGHER, LOWER = base.HIGHER, base.LOWER


# ---------------------------------------------------------------- processes


def wait_ports_file(path, proc, seconds=15.0):
    """Waits for the daemon's ports file (written whole, by a rename) or its
    exit, on inotify and a pidfd rather than a poll. Returns ({service: port},
    None), or (None, why it never came)."""
    libc = ctypes.CDLL(None, use_errno=True)
    in_moved_to, in_close_write = 0x80, 0x08
    ino = libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
    if ino < 0:
        raise OSError(ctypes.get_errno(), "inotify_init1")
    pidfd = os.pidfd_open(proc.pid)
    try:
        if libc.inotify_add_watch(ino, os.path.dirname(path).encode(), in_moved_to | in_close_write) < 0:
            raise OSError(ctypes.get_errno(), "inotify_add_watch")
        deadline = time.monotonic() + seconds
        while True:
            if os.path.exists(path):
                ports = {}
                with open(path) as f:
                    for line in f:
                        name, _, addr = line.strip().partition(" ")
                        if addr:
                            ports.setdefault(name, int(addr.rsplit(":", 1)[1]))
                return ports, None
            if proc.poll() is not None:
                return None, f"exited with status {proc.returncode} without writing its ports file"
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return None, f"wrote no ports file in {seconds:.0f} s"
            ready, _, _ = select.select([ino, pidfd], [], [], remaining)
            if ino in ready:
                try:
                    os.read(ino, 4096)
                except BlockingIOError:
                    pass
    finally:
        os.close(ino)
        os.close(pidfd)


def pss_kib(root):
    """Proportional set size of the process tree: a page shared by n of its
    processes counts 1/n, where RSS would count it n times (dante forks)."""
    total = 0
    for pid in base.proc_tree(root):
        try:
            with open(f"/proc/{pid}/smaps_rollup") as f:
                total += sum(int(line.split()[1]) for line in f if line.startswith("Pss:"))
        except OSError:
            continue
    return total


def account_line(user, password):
    digest = hashlib.sha1(f"{user}::{password};".encode()).hexdigest().upper()
    return user + digest


def start_valdrin(tmp, dist, socks_port, rdr_port, origin):
    d = os.path.join(tmp, "valdrin")
    shutil.copytree(dist, d)
    base.write(f"{d}/valdrin.conf", f"""[Main]
LogFile={d}/valdrin.log
ErrFile={d}/valdrin.err
AllowedHost0=127.0.0.1
AccessLog=

[HTTP]
HTTPEnabled=false

[Socks]
SocksEnabled=true
SocksPort={socks_port}
SocksListen=127.0.0.1
SocksAccount0={account_line(USER, PASSWORD)}

[RDR]
RDREnabled=true
RDRListen=127.0.0.1
RDRBinding0={rdr_port} -> {origin} 127.0.0.1
""")
    ports_file = f"{d}/ports"
    return base.Service("valdrin", [f"{d}/valdrin_proxy", "--config", f"{d}/valdrin.conf",
                                    "--ports-file", ports_file], d, f"{d}/stdout.log",
                        socks_port), ports_file


def start_dante(tmp, port):
    d = os.path.join(tmp, "dante")
    os.mkdir(d)
    # No client method, no SOCKS method: see AUTH. The io timeout is left at
    # its default (a day), so idle tunnels stay.
    base.write(f"{d}/danted.conf", f"""logoutput: {d}/danted.log
internal: 127.0.0.1 port = {port}
external: 127.0.0.1
clientmethod: none
socksmethod: none
user.privileged: root
user.unprivileged: nobody
client pass {{
    from: 127.0.0.0/8 to: 0.0.0.0/0
}}
socks pass {{
    from: 127.0.0.0/8 to: 127.0.0.0/8
    command: connect
}}
""")
    # Without -D it stays in the foreground.
    return base.Service("dante", ["danted", "-f", f"{d}/danted.conf", "-p", f"{d}/danted.pid"],
                        d, f"{d}/stdout.log", port)


def start_microsocks(tmp, port):
    d = os.path.join(tmp, "microsocks")
    os.mkdir(d)
    return base.Service("microsocks", ["microsocks", "-i", "127.0.0.1", "-p", str(port),
                                       "-u", USER, "-P", PASSWORD], d, f"{d}/stdout.log", port)


def start_rinetd(tmp, port, origin):
    d = os.path.join(tmp, "rinetd")
    os.mkdir(d)
    # No logfile line: no log.
    base.write(f"{d}/rinetd.conf", f"127.0.0.1 {port} 127.0.0.1 {origin}\n")
    return base.Service("rinetd", ["rinetd", "-f", "-c", f"{d}/rinetd.conf"], d,
                        f"{d}/stdout.log", port)


def start_socat(tmp, port, origin):
    d = os.path.join(tmp, "socat")
    os.mkdir(d)
    return base.Service("socat", ["socat", f"TCP-LISTEN:{port},bind=127.0.0.1,fork,reuseaddr",
                                  f"TCP:127.0.0.1:{origin}"], d, f"{d}/stdout.log", port)


# ---------------------------------------------------------------- clients


def build_loader(tmp):
    exe = os.path.join(tmp, "socks_load")
    r = subprocess.run(["gcc", "-O2", "-pthread", "-o", exe, os.path.join(HERE, "socks_load.c")],
                       capture_output=True, text=True)
    if r.returncode != 0:
        raise RuntimeError(f"cannot build the load generator: {r.stderr[-1000:]}")
    return exe


def run_loader(exe, mode, port, origin, conns, count, seconds, auth):
    argv = [exe, mode, str(port), str(origin), f"/{SMALL}", str(SMALL_SIZE), str(conns),
            str(count), str(seconds)]
    if auth:
        argv += list(auth)
    r = base.run(argv, timeout=seconds + 60)
    m = re.search(r"^BENCH (.*)$", r.stdout, re.M)
    if not m:
        raise RuntimeError(f"load generator gave no summary: {r.stdout[-300:]} {r.stderr[-300:]}")
    v = {k: float(x) for k, x in (kv.split("=") for kv in m.group(1).split())}
    v["rate"] = v["ok"] / v["secs"] if v["secs"] else 0.0
    v["kinds"] = " ".join(f"{k} {int(v[k])}" for k in ("connect", "negotiate", "auth", "reply", "http")
                          if v[k])
    return v


def run_curls(count, url, proxy):
    """count sequential downloads of the 10 MiB file; MB/s over their summed time."""
    argv = ["curl", "-s", "-o", "/dev/null", "-w", "%{http_code} %{size_download} %{time_total}\n"]
    if proxy:
        argv += ["-x", proxy]
    size = secs = 0.0
    bad = 0
    for _ in range(count):
        r = base.run(argv + [url], timeout=120)
        parts = r.stdout.split()
        if r.returncode != 0 or len(parts) != 3 or parts[0] != "200" or int(parts[1]) != BULK_SIZE:
            bad += 1
            continue
        size += float(parts[1])
        secs += float(parts[2])
    return {"mbps": size / secs / 1e6 if secs else 0.0, "failed": bad}


def hold_socks_tunnels(n, proxy_port, origin_port, auth, on_established, timeout=90.0):
    """Opens n SOCKS5 tunnels to the origin (plain connections to it when
    proxy_port is None): every connect launched at once, then every handshake
    completed concurrently; calls on_established once all that could be are
    up and idle, then sends one GET through each."""
    target = ("127.0.0.1", proxy_port or origin_port)
    greeting = bytes([5, 1, 2 if auth else 0])
    auth_msg = (bytes([1, len(auth[0])]) + auth[0].encode() + bytes([len(auth[1])]) + auth[1].encode()
                if auth else b"")
    connect_msg = bytes([5, 1, 0, 1, 127, 0, 0, 1]) + struct.pack(">H", origin_port)
    get_req = (f"GET /{SMALL} HTTP/1.1\r\nHost: 127.0.0.1:{origin_port}\r\n"
               f"Connection: close\r\n\r\n").encode()
    sel = selectors.DefaultSelector()
    socks, state, bufs = [], {}, {}
    established = failed = 0
    t_start = time.monotonic()
    deadline = t_start + timeout

    def fail(s):
        nonlocal failed
        failed += 1
        state[s] = "failed"
        sel.unregister(s)

    def up(s):
        nonlocal established
        established += 1
        state[s] = "idle"
        sel.unregister(s)

    def send(s, data, next_state):
        try:
            s.send(data)
            state[s] = next_state
        except OSError:
            fail(s)

    def expect(s, size):
        """The next size bytes of the handshake, or None while they are not all in."""
        try:
            data = s.recv(size - len(bufs[s]))
        except BlockingIOError:
            return None
        except OSError:
            data = b""
        if not data:
            fail(s)
            return None
        bufs[s] += data
        if len(bufs[s]) < size:
            return None
        got, bufs[s] = bufs[s], b""
        return got

    try:
        for _ in range(n):
            s = socket.socket()
            s.setblocking(False)
            s.connect_ex(target)
            socks.append(s)
            state[s] = "connecting"
            bufs[s] = b""
            sel.register(s, selectors.EVENT_WRITE)
        while established + failed < n and time.monotonic() < deadline:
            for key, _ in sel.select(timeout=1.0):
                s = key.fileobj
                st = state[s]
                if st == "connecting":
                    if s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR):
                        fail(s)
                    elif proxy_port is None:
                        up(s)
                    else:
                        sel.modify(s, selectors.EVENT_READ)
                        send(s, greeting, "method")
                elif st == "method":
                    got = expect(s, 2)
                    if got is None:
                        continue
                    if got[0] == 5 and got[1] == 2 and auth:
                        send(s, auth_msg, "auth")
                    elif got[0] == 5 and got[1] == 0:
                        send(s, connect_msg, "reply")
                    else:
                        fail(s)
                elif st == "auth":
                    got = expect(s, 2)
                    if got is None:
                        continue
                    if got[1] == 0:
                        send(s, connect_msg, "reply")
                    else:
                        fail(s)
                elif st == "reply":
                    # IPv4 bound address expected; an IPv6 one is 12 bytes longer.
                    got = expect(s, 10)
                    if got is None:
                        continue
                    if got[0] != 5 or got[1] != 0:
                        fail(s)
                    elif got[3] == 1:
                        up(s)
                    elif got[3] == 4:
                        bufs[s] = got
                        state[s] = "reply6"
                    else:
                        fail(s)
                elif st == "reply6":
                    got = expect(s, 22)
                    if got is not None:
                        up(s)
        t_up = time.monotonic()
        time.sleep(1.0)  # let the proxy settle before its memory is read
        on_established()

        t_get = time.monotonic()
        idle = [s for s in socks if state[s] == "idle"]
        pending = 0
        for s in idle:
            bufs[s] = b""
            try:
                s.send(get_req)
                sel.register(s, selectors.EVENT_READ)
                state[s] = "get"
                pending += 1
            except OSError:
                state[s] = "failed"
        working = 0
        deadline = time.monotonic() + timeout
        while pending and time.monotonic() < deadline:
            for key, _ in sel.select(timeout=1.0):
                s = key.fileobj
                try:
                    data = s.recv(65536)
                except OSError:
                    data = b""
                if data:
                    bufs[s] += data
                    continue
                sel.unregister(s)
                pending -= 1
                head, _, body = bufs[s].partition(b"\r\n\r\n")
                if head.startswith((b"HTTP/1.1 200", b"HTTP/1.0 200")) and len(body) == SMALL_SIZE:
                    working += 1
        return {"established": established, "working": working,
                "up_s": t_up - t_start, "get_s": time.monotonic() - t_get}
    finally:
        sel.close()
        for s in socks:
            s.close()


# ---------------------------------------------------------------- the run


class Bench:
    def __init__(self, args, tmp, dist):
        self.args, self.tmp, self.dist = args, tmp, dist
        self.services = {}  # name -> Service
        self.socks = {}     # SOCKS row -> (port, auth or None, service)
        self.rdr = {}       # redirect row -> (port, service)
        self.results = {}
        self.notes = []
        self.missing = {}   # row -> why it did not run

    def add(self, key, row, value):
        self.results.setdefault(key, {}).setdefault(row, []).append(value)

    def _start(self, svc):
        self.services[svc.name] = svc
        if not svc.ready():
            raise RuntimeError(f"{svc.name} did not start listening:\n{svc.tail()}")
        log(f"{svc.name} listening on 127.0.0.1:{svc.port} (pid {svc.pid})")
        return svc

    def start(self, rows):
        free = base.free_port
        self.origin = free()
        www = base.setup_www(self.tmp)
        nginx = self._start(base.start_nginx(self.tmp, www, self.origin, free()))
        self.socks["direct"] = (self.origin, None, nginx)
        self.rdr["direct"] = (self.origin, nginx)
        self.loader = build_loader(self.tmp)
        auth = (USER, PASSWORD)
        if "valdrin" in rows:
            self.start_valdrin(free(), free(), auth)
        if "dante" in rows:
            svc = self._start(start_dante(self.tmp, free()))
            self.socks["dante"] = (svc.port, None, svc)
        if "microsocks" in rows:
            svc = self._start(start_microsocks(self.tmp, free()))
            self.socks["microsocks"] = (svc.port, auth, svc)
        if "rinetd" in rows:
            svc = self._start(start_rinetd(self.tmp, free(), self.origin))
            self.rdr["rinetd"] = (svc.port, svc)
        if "socat" in rows:
            svc = self._start(start_socat(self.tmp, free(), self.origin))
            self.rdr["socat"] = (svc.port, svc)

    def start_valdrin(self, socks_port, rdr_port, auth):
        """The daemon's rows fail here, noted, without ending the run."""
        if not self.dist:
            self.missing["valdrin"] = "no valdrin_proxy found (build/dist or --dist)"
            log(self.missing["valdrin"])
            return
        svc, ports_file = start_valdrin(self.tmp, self.dist, socks_port, rdr_port, self.origin)
        self.services["valdrin"] = svc
        ports, why = wait_ports_file(ports_file, svc.proc)
        if ports is None:
            why = f"valdrin_proxy {why}: " + " ".join(svc.tail()[-400:].split())
            self.missing["valdrin"] = why
            log(why)
            return
        log(f"valdrin (pid {svc.pid}) ports file: {ports}")
        if "socks" in ports:
            self.socks["valdrin"] = (ports["socks"], auth, svc)
        else:
            self.missing["valdrin socks"] = "valdrin_proxy listed no socks service in its ports file"
        if "rdr" in ports:
            self.rdr["valdrin"] = (ports["rdr"], svc)
        else:
            self.missing["valdrin rdr"] = "valdrin_proxy listed no rdr service in its ports file"
        for key in ("valdrin socks", "valdrin rdr"):
            if key in self.missing:
                log(self.missing[key])

    def stop(self):
        for name in reversed(list(self.services)):
            svc = self.services[name]
            code = svc.proc.poll()
            if code is not None and name not in self.missing:
                self.notes.append(f"{name} (pid {svc.pid}) ended during the run with status {code}: "
                                  + " ".join(svc.tail()[-300:].split()))
            svc.stop()
            log(f"stopped {name} (pid {svc.pid})")
        self.services.clear()

    def socks_proxy_url(self, row):
        port, auth, _ = self.socks[row]
        cred = f"{auth[0]}:{auth[1]}@" if auth else ""
        return f"socks5://{cred}127.0.0.1:{port}"

    # --- workloads: each takes (group, row), group "socks" or "rdr" ---

    def wl_s1(self, group, row):
        url_path = f"/{BULK}"
        if group == "socks":
            proxy = None if row == "direct" else self.socks_proxy_url(row)
            r = run_curls(self.args.curls, f"http://127.0.0.1:{self.origin}{url_path}", proxy)
        else:
            port = self.rdr[row][0]
            r = run_curls(self.args.curls, f"http://127.0.0.1:{port}{url_path}", None)
        self.add(f"s1.{group}", row, r["mbps"])
        self.add(f"s1.{group}.failed", row, r["failed"])
        return f"{r['mbps']:.0f} MB/s, failed {r['failed']}"

    def wl_s2(self, group, row):
        if group == "socks":
            port, auth, svc = self.socks[row]
            mode = "plain" if row == "direct" else "socks5"
        else:
            (port, svc), auth, mode = self.rdr[row], None, "plain"
        before = base.cpu_seconds(svc.pid)
        v = run_loader(self.loader, mode, port, self.origin, self.args.conns, self.args.sessions,
                       self.args.seconds, auth)
        cpu = base.cpu_seconds(svc.pid) - before
        self.add(f"s2.{group}.rate", row, v["rate"])
        self.add(f"s2.{group}.failed", row, int(v["failed"]))
        if v["ok"]:
            self.add(f"s2.{group}.cpu", row, cpu / v["ok"] * 10000)
        unit = "sessions/s" if group == "socks" else "connections/s"
        return (f"{v['rate']:.0f} {unit} ({int(v['ok'])} in {v['secs']:.1f} s), "
                f"{cpu:.2f} CPU s, failed {int(v['failed'])} {v['kinds']}")

    def wl_s3(self, group, row):
        port, auth, svc = self.socks[row]
        n = self.args.tunnels
        time.sleep(0.5)
        rss0, pss0 = base.rss_kib(svc.pid), pss_kib(svc.pid)
        procs0 = len(base.proc_tree(svc.pid))
        seen = {}

        def measure():
            seen["rss"], seen["pss"] = base.rss_kib(svc.pid), pss_kib(svc.pid)
            seen["procs"] = len(base.proc_tree(svc.pid))

        r = hold_socks_tunnels(n, None if row == "direct" else port, self.origin, auth, measure)
        self.add("s3.rss0", row, rss0 / 1024)
        self.add("s3.rss", row, seen["rss"] / 1024)
        self.add("s3.per", row, (seen["rss"] - rss0) / n)
        self.add("s3.pss_per", row, (seen["pss"] - pss0) / n)
        # A forking server's baseline depends on the children an earlier run left.
        self.add("s3.procs0", row, procs0)
        self.add("s3.procs", row, seen["procs"])
        self.add("s3.est", row, r["established"])
        self.add("s3.ok", row, r["working"])
        return (f"{r['established']}/{n} up in {r['up_s']:.1f} s, {r['working']} GETs answered in "
                f"{r['get_s']:.1f} s, {(seen['rss'] - rss0) / n:.1f} KiB each "
                f"(PSS {(seen['pss'] - pss0) / n:.1f}), processes {procs0} -> {seen['procs']}")

    def run(self, rows, workloads):
        plan = {"socks": [r for r in SOCKS_ROWS if r in rows and r in self.socks],
                "rdr": [r for r in RDR_ROWS if r in rows and r in self.rdr]}
        for rep in range(self.args.reps):
            for wl in workloads:
                for group in ("socks", "rdr"):
                    if wl == "s3" and group == "rdr":
                        continue
                    group_rows = plan[group]
                    if len(group_rows) < 1:
                        continue
                    # Rotate the row order each rep so no row always runs first.
                    k = rep % len(group_rows)
                    for row in group_rows[k:] + group_rows[:k]:
                        try:
                            summary = getattr(self, f"wl_{wl}")(group, row)
                        except Exception as e:  # a failed row is recorded, the run goes on
                            summary = f"FAILED: {e}"
                            self.notes.append(f"rep {rep + 1}, ({wl}) {group} {row}: {e}")
                        log(f"rep {rep + 1} ({wl}) {group} {row}: {summary}")
                        time.sleep(self.args.pause)


# ---------------------------------------------------------------- tables


def table(results, rows, peers, title, metrics, extra=None):
    """As run.py's table, with this group's peers; a row that could not run
    shows dashes."""
    out = [f"### {title}", ""]
    head = ["row"]
    for _, header, _, _ in metrics:
        head += [header, "× direct", "× best peer"]
    if extra:
        head += [h for h, _ in extra]
    out.append("| " + " | ".join(head) + " |")
    out.append("|" + "---|" * len(head))
    for row in rows:
        cells = [row]
        for key, _, digits, better in metrics:
            by_row = {r: med(results.get(key, {}).get(r, [])) for r in rows}
            vals = [by_row[p] for p in peers if by_row.get(p) is not None]
            best = (max(vals) if better == HIGHER else min(vals)) if vals else None
            v = by_row[row]
            cells += [fmt(v, digits), ratio(v, by_row.get("direct")), ratio(v, best)]
        if extra:
            cells += [fn(row) for _, fn in extra]
        out.append("| " + " | ".join(cells) + " |")
    return "\n".join(out) + "\n"


def report(bench, rows, workloads, args, started):
    R = bench.results
    socks_rows = [r for r in SOCKS_ROWS if r in rows]
    rdr_rows = [r for r in RDR_ROWS if r in rows]

    def total(key):
        return lambda row: fmt(sum(R[key][row]), 0) if R.get(key, {}).get(row) else "—"

    def worst(key, n):
        return lambda row: f"{min(R[key][row])}/{n}" if R.get(key, {}).get(row) else "—"

    def auth(row):
        return AUTH.get(row, "—")

    def procs(row):
        before, after = R.get("s3.procs0", {}).get(row), R.get("s3.procs", {}).get(row)
        return ", ".join(f"{a} → {b}" for a, b in zip(before, after)) if before else "—"

    parts = []
    now = time.strftime("%Y-%m-%d %H:%M")
    cpu = ""
    try:
        with open("/proc/cpuinfo") as f:
            cpu = re.search(r"model name\s*:\s*(.*)", f.read()).group(1)
    except (OSError, AttributeError):
        pass
    parts.append(f"## SOCKS and redirect run {now}\n\nMachine: {os.uname().nodename}, {os.cpu_count()} "
                 f"CPUs ({cpu}), kernel {os.uname().release}. Reps: {args.reps} (medians), "
                 f"elapsed {time.monotonic() - started:.0f} s.\n")
    if "s1" in workloads:
        parts.append(table(R, socks_rows, SOCKS_PEERS,
                           f"(s1) bulk 10 MiB through a SOCKS5 CONNECT, {args.curls} sequential curl, "
                           "MB/s (10^6 bytes/s)",
                           [("s1.socks", "MB/s", 0, HIGHER)],
                           [("auth", auth), ("curl failed (all reps)", total("s1.socks.failed"))]))
        parts.append(table(R, rdr_rows, RDR_PEERS,
                           f"(s1) bulk 10 MiB through a redirect binding, {args.curls} sequential curl, "
                           "MB/s (10^6 bytes/s)",
                           [("s1.rdr", "MB/s", 0, HIGHER)],
                           [("curl failed (all reps)", total("s1.rdr.failed"))]))
    if "s2" in workloads:
        load = (f"{args.conns} workers, at most {args.sessions:,} sessions or {args.seconds} s, "
                "one GET of 1 KiB each")
        parts.append(table(R, socks_rows, SOCKS_PEERS,
                           f"(s2) new SOCKS5 sessions per second ({load}; direct row: the same "
                           "generator, plain TCP to nginx)",
                           [("s2.socks.rate", "sessions/s", 0, HIGHER),
                            ("s2.socks.cpu", "CPU s / 10k", 3, LOWER)],
                           [("auth", auth), ("failed (all reps)", total("s2.socks.failed"))]))
        parts.append(table(R, rdr_rows, RDR_PEERS,
                           f"(s2) new connections per second through a redirect binding ({load})",
                           [("s2.rdr.rate", "connections/s", 0, HIGHER),
                            ("s2.rdr.cpu", "CPU s / 10k", 3, LOWER)],
                           [("failed (all reps)", total("s2.rdr.failed"))]))
        parts.append("CPU s / 10k: utime+stime of the server's process tree (all threads, "
                     "and the children it reaped) over the run, per 10,000 sessions; "
                     "for the direct row, nginx itself.\n")
    if "s3" in workloads:
        n = args.tunnels
        parts.append(table(R, socks_rows, SOCKS_PEERS,
                           f"(s3) {n:,} idle SOCKS5 tunnels opened at once, then one GET through each "
                           "(direct row: idle connections held open on nginx)",
                           [("s3.rss0", "RSS MiB idle", 1, LOWER),
                            ("s3.rss", f"RSS MiB at {n:,}", 1, LOWER),
                            ("s3.per", "KiB / tunnel", 1, LOWER),
                            ("s3.pss_per", "PSS KiB / tunnel", 1, LOWER)],
                           [("auth", auth), ("processes idle → loaded (each rep)", procs),
                            ("established (worst rep)", worst("s3.est", n)),
                            ("GETs answered (worst rep)", worst("s3.ok", n))]))
    notes = [f"{row}: did not run: {why}" for row, why in bench.missing.items()] + bench.notes
    if "dante" in rows:
        notes.append("dante runs without authentication: its username method checks the "
                     "system's accounts, and the benchmark adds none.")
    if "microsocks" in rows:
        notes.append("microsocks logs every connection to its standard error (here a file); "
                     "it has no switch to turn that off.")
    parts.append("Notes:\n\n" + "\n".join(f"- {n}" for n in notes) + "\n")
    return "\n".join(parts)


# ---------------------------------------------------------------- main


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--quick", action="store_true", help="1 rep, small counts: a smoke test")
    ap.add_argument("--dist", help="ready-to-run folder with valdrin_proxy (default build/dist)")
    ap.add_argument("--rows", default=",".join(ALL_ROWS))
    ap.add_argument("--workloads", default=",".join(ALL_WORKLOADS))
    ap.add_argument("--sessions", type=int, default=50000, help="(s2) sessions at most per run")
    ap.add_argument("--seconds", type=float, default=10.0, help="(s2) seconds at most per run")
    ap.add_argument("--conns", type=int, default=50, help="(s2) concurrent workers")
    ap.add_argument("--tunnels", type=int, default=5000, help="(s3) idle tunnels")
    ap.add_argument("--curls", type=int, default=10, help="(s1) sequential transfers per rep")
    ap.add_argument("--json", help="also write the raw figures here")
    ap.add_argument("--keep", action="store_true", help="keep the temporary folder")
    args = ap.parse_args()
    if args.quick:
        args.reps, args.sessions, args.seconds, args.tunnels, args.curls = 1, 2000, 2.0, 500, 3
    args.pause = 0.5 if args.quick else 1.0
    rows = [r for r in args.rows.split(",") if r]
    unknown = [r for r in rows if r not in ALL_ROWS]
    if unknown:
        sys.exit(f"unknown rows: {', '.join(unknown)} (known: {', '.join(ALL_ROWS)})")
    workloads = [w for w in args.workloads.split(",") if w in ALL_WORKLOADS]
    if "direct" not in rows:
        rows.insert(0, "direct")  # nginx is the origin of every row
    dist = base.find_dist(args.dist)
    if os.geteuid() != 0:
        sys.exit("run as root: dante drops to its own user and the tunnels need a high RLIMIT_NOFILE")
    base.raise_nofile()

    started = time.monotonic()
    tmp = tempfile.mkdtemp(prefix="valdrin-socks-bench-")
    os.chmod(tmp, 0o755)
    bench = Bench(args, tmp, dist)

    def on_signal(signum, _frame):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, on_signal)
    try:
        bench.start(rows)
        bench.run(rows, workloads)
    except KeyboardInterrupt:
        log("interrupted")
        bench.notes.append("interrupted before the end")
    finally:
        bench.stop()
        if args.keep:
            log(f"temporary folder kept: {tmp}")
        else:
            shutil.rmtree(tmp, ignore_errors=True)
    if not bench.results:
        sys.exit(1)
    text = report(bench, rows, workloads, args, started)
    print(text)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"rows": rows, "results": bench.results, "notes": bench.notes,
                       "missing": bench.missing}, f, indent=1)


if __name__ == "__main__":
    main()
