#!/usr/bin/env python3
"""Side-by-side benchmark of the proxy against the direct path and two peers.

Starts nginx (HTTP and TLS), valdrin_proxy, tinyproxy and squid on loopback,
and a second nginx as a reverse proxy in front of the first (the limit row:
the same socket work per request, done by an event loop on one worker),
each with its own configuration in a temporary folder, runs every workload
row by row and rep by rep (rep 1 of every row, then rep 2, ...), stops exactly
the processes it started, and prints one markdown table per workload with
medians and ratios to the direct row and to the best peer.
"""

import argparse
import datetime
import json
import os
import platform
import re
import resource
import selectors
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)

SMALL = "1k.bin"
BULK = "10m.bin"
SMALL_SIZE = 1024
BULK_SIZE = 10 * 1024 * 1024
# A listed host: every row blocks it before any look-up (and squid's look-ups
# go to loopback), so its reserved top-level domain is never asked for.
AD_HOST = "ads.valdrin-bench.invalid"
NOFILE = 65536
PEERS = ("tinyproxy", "squid")
# Not a peer: it cannot do CONNECT nor forward-proxy requests; it shows what
# an event loop gets out of these cores for the same socket work.
LIMIT = "limit"
LIMIT_WORKLOADS = ("a", "b")
ALL_ROWS = ("direct", "valdrin", "tinyproxy", "squid", LIMIT)
# The row of another build of the proxy (--before), run beside this one.
BEFORE = "valdrin-before"
ALL_WORKLOADS = ("a", "b", "c", "d", "e", "f")


def log(msg):
    print(f"[bench {time.strftime('%H:%M:%S')}] {msg}", file=sys.stderr, flush=True)


def raise_nofile():
    hard = max(resource.getrlimit(resource.RLIMIT_NOFILE)[1], NOFILE)
    try:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    except (ValueError, OSError):
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


def clean_env():
    env = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}
    env["LC_ALL"] = "C"
    return env


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port, proc, seconds=15.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            return False
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.05)
    return False


# ---------------------------------------------------------------- /proc readers

CLK_TCK = os.sysconf("SC_CLK_TCK")
PAGE_KIB = os.sysconf("SC_PAGE_SIZE") // 1024


def proc_tree(root):
    """The pid and all its descendants that are alive now."""
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        ppid = int(stat[stat.rindex(")") + 2:].split()[1])
        children.setdefault(ppid, []).append(int(entry))
    tree, todo = [], [root]
    while todo:
        pid = todo.pop()
        tree.append(pid)
        todo.extend(children.get(pid, []))
    return tree


def cpu_seconds(root):
    """utime+stime of every thread of the process tree, plus what it reaped."""
    total = 0
    for pid in proc_tree(root):
        try:
            with open(f"/proc/{pid}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        fields = stat[stat.rindex(")") + 2:].split()
        # fields[0] is field 3 (state): utime, stime, cutime, cstime are 14..17.
        total += sum(int(x) for x in fields[11:15])
    return total / CLK_TCK


def rss_kib(root):
    total = 0
    for pid in proc_tree(root):
        try:
            with open(f"/proc/{pid}/statm") as f:
                total += int(f.read().split()[1]) * PAGE_KIB
        except OSError:
            continue
    return total


# ---------------------------------------------------------------- processes


class Service:
    def __init__(self, name, argv, cwd, log_path, port):
        self.name, self.port = name, port
        self.log_path = log_path
        self.out = open(log_path, "wb")
        self.proc = subprocess.Popen(
            argv, cwd=cwd, stdin=subprocess.DEVNULL, stdout=self.out,
            stderr=subprocess.STDOUT, env=clean_env(), preexec_fn=raise_nofile)
        self.pid = self.proc.pid

    def ready(self):
        return wait_port(self.port, self.proc)

    def stop(self):
        if self.proc.poll() is None:
            try:
                os.kill(self.pid, signal.SIGTERM)
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.kill(self.pid, signal.SIGKILL)
                self.proc.wait()
            except ProcessLookupError:
                pass
        self.out.close()

    def tail(self):
        try:
            with open(self.log_path, errors="replace") as f:
                return f.read()[-2000:]
        except OSError:
            return ""


def run(argv, timeout):
    return subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          env=clean_env(), preexec_fn=raise_nofile, timeout=timeout)


# ---------------------------------------------------------------- set-up


def write(path, text, mode=None):
    with open(path, "w") as f:
        f.write(text)
    if mode is not None:
        os.chmod(path, mode)


def chown_tree(path, user):
    import pwd
    pw = pwd.getpwnam(user)
    os.chown(path, pw.pw_uid, pw.pw_gid)


def setup_www(tmp):
    www = os.path.join(tmp, "www")
    os.mkdir(www)
    with open(os.path.join(www, SMALL), "wb") as f:
        f.write(os.urandom(SMALL_SIZE))
    with open(os.path.join(www, BULK), "wb") as f:
        f.write(os.urandom(BULK_SIZE))
    d = os.path.join(tmp, "nginx")
    os.mkdir(d)
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
         "-nodes", "-keyout", f"{d}/key.pem", "-out", f"{d}/cert.pem", "-days", "2",
         "-subj", "/CN=127.0.0.1"], check=True, capture_output=True)
    return www


def start_nginx(tmp, www, http_port, tls_port):
    d = os.path.join(tmp, "nginx")
    conf = f"""
daemon off;
master_process on;
user root;
worker_processes 2;
worker_rlimit_nofile {NOFILE};
pid {d}/nginx.pid;
error_log {d}/error.log warn;
events {{ worker_connections 30000; }}
http {{
    access_log off;
    sendfile on;
    tcp_nopush on;
    default_type application/octet-stream;
    client_body_temp_path {d}/body;
    proxy_temp_path {d}/proxy;
    fastcgi_temp_path {d}/fastcgi;
    uwsgi_temp_path {d}/uwsgi;
    scgi_temp_path {d}/scgi;
    keepalive_requests 1000000;
    server {{
        listen 127.0.0.1:{http_port} backlog=4096;
        root {www};
    }}
    server {{
        listen 127.0.0.1:{tls_port} ssl backlog=4096;
        ssl_certificate {d}/cert.pem;
        ssl_certificate_key {d}/key.pem;
        root {www};
    }}
}}
"""
    write(f"{d}/nginx.conf", conf)
    return Service("nginx", ["nginx", "-p", d, "-c", f"{d}/nginx.conf"], d, f"{d}/stdout.log",
                   http_port)


def start_nginx_limit(tmp, port, origin):
    d = os.path.join(tmp, "nginx-limit")
    os.mkdir(d)
    # One worker, one origin connection per request (HTTP/1.0 upstream, no
    # upstream keep-alive), no logging: a proxy's socket work per request.
    conf = f"""
daemon off;
master_process off;
user root;
worker_processes 1;
worker_rlimit_nofile {NOFILE};
pid {d}/nginx.pid;
error_log {d}/error.log warn;
events {{ worker_connections 30000; }}
http {{
    access_log off;
    client_body_temp_path {d}/body;
    proxy_temp_path {d}/proxy;
    fastcgi_temp_path {d}/fastcgi;
    uwsgi_temp_path {d}/uwsgi;
    scgi_temp_path {d}/scgi;
    proxy_buffering off;
    server {{
        listen 127.0.0.1:{port} backlog=4096;
        location / {{ proxy_pass http://127.0.0.1:{origin}; proxy_http_version 1.0; }}
    }}
}}
"""
    write(f"{d}/nginx.conf", conf)
    return Service(LIMIT, ["nginx", "-p", d, "-c", f"{d}/nginx.conf"], d, f"{d}/stdout.log", port)


def start_valdrin(tmp, dist, port, name="valdrin"):
    d = os.path.join(tmp, name)
    shutil.copytree(dist, d)
    write(f"{d}/valdrin.conf", f"""[Main]
LogFile={d}/valdrin.log
ErrFile={d}/valdrin.err
Verbose=false
AllowedHost0=127.0.0.1

[HTTP]
HTTPEnabled=true
HTTPPort={port}
AdHostsEnabled=true
""")
    # Keep the shipped list, so the table is as full as a user's, and add the bench's ad host.
    hosts = ""
    if os.path.exists(f"{d}/adhosts"):
        with open(f"{d}/adhosts", errors="surrogateescape") as f:
            hosts = f.read()
        if hosts and not hosts.endswith("\n"):
            hosts += "\n"
    write(f"{d}/adhosts", hosts + AD_HOST + "\n")
    return Service(name, [f"{d}/valdrin_proxy", "--config", f"{d}/valdrin.conf"], d,
                   f"{d}/stdout.log", port)


def start_tinyproxy(tmp, port):
    d = os.path.join(tmp, "tinyproxy")
    os.mkdir(d)
    chown_tree(d, "tinyproxy")
    write(f"{d}/filter", AD_HOST + "\n")
    # No ConnectPort line: CONNECT to any port is allowed.
    write(f"{d}/tinyproxy.conf", f"""User tinyproxy
Group tinyproxy
Port {port}
Listen 127.0.0.1
Timeout 600
MaxClients 6000
LogFile "{d}/tinyproxy.log"
LogLevel Critical
PidFile "{d}/tinyproxy.pid"
Allow 127.0.0.1
DisableViaHeader Yes
Filter "{d}/filter"
FilterURLs Off
FilterType fnmatch
FilterDefaultDeny No
""")
    return Service("tinyproxy", ["tinyproxy", "-d", "-c", f"{d}/tinyproxy.conf"], d,
                   f"{d}/stdout.log", port)


def start_squid(tmp, port):
    d = os.path.join(tmp, "squid")
    os.mkdir(d)
    chown_tree(d, "proxy")
    # No cache at all, no access log, no CONNECT port restriction; any stray
    # name look-up stays on loopback.
    write(f"{d}/squid.conf", f"""http_port 127.0.0.1:{port}
visible_hostname bench
cache deny all
cache_mem 0
access_log none
cache_store_log none
cache_log {d}/cache.log
pid_filename {d}/squid.pid
coredump_dir {d}
netdb_filename none
pinger_enable off
dns_nameservers 127.0.0.1
max_filedescriptors {NOFILE}
shutdown_lifetime 1 seconds
acl adhosts dstdomain {AD_HOST}
http_access deny adhosts
http_access allow localhost
http_access deny all
""")
    return Service("squid", ["squid", "-N", "-f", f"{d}/squid.conf"], d, f"{d}/stdout.log", port)


# ---------------------------------------------------------------- clients

WRK_DONE = r"""
done = function(summary, latency, requests)
  local e = summary.errors
  io.write(string.format(
    "BENCH requests=%d duration_us=%d bytes=%d connect=%d read=%d write=%d status=%d timeout=%d p50_us=%d p99_us=%d\n",
    summary.requests, summary.duration, summary.bytes, e.connect, e.read, e.write, e.status,
    e.timeout, latency:percentile(50), latency:percentile(99)))
end
"""


def wrk_script(tmp, name, path, host, close):
    lines = [f'wrk.path = "{path}"', f'wrk.headers["Host"] = "{host}"']
    if close:
        lines.append('wrk.headers["Connection"] = "close"')
    p = os.path.join(tmp, f"wrk-{name}.lua")
    write(p, "\n".join(lines) + "\n" + WRK_DONE)
    return p


def run_wrk(script, port, threads, conns, seconds):
    argv = ["wrk", f"-t{threads}", f"-c{conns}", f"-d{seconds}s", "--timeout", "5s",
            "-s", script, f"http://127.0.0.1:{port}/"]
    r = run(argv, timeout=seconds + 60)
    m = re.search(r"^BENCH (.*)$", r.stdout, re.M)
    if not m:
        raise RuntimeError(f"wrk gave no summary: {r.stdout[-500:]} {r.stderr[-500:]}")
    v = {k: int(x) for k, x in (kv.split("=") for kv in m.group(1).split())}
    secs = v["duration_us"] / 1e6
    return {
        "requests": v["requests"],
        "rps": v["requests"] / secs,
        "mbps": v["bytes"] / secs / 1e6,
        "p50_ms": v["p50_us"] / 1000,
        "p99_ms": v["p99_us"] / 1000,
        "status_errors": v["status"],
        "socket_errors": v["connect"] + v["read"] + v["write"] + v["timeout"],
        "error_kinds": f"connect {v['connect']} read {v['read']} write {v['write']} "
                       f"timeout {v['timeout']} status {v['status']}",
    }


def run_ab(n, conc, url, proxy_port):
    argv = ["ab", "-q", "-r", "-n", str(n), "-c", str(conc), "-s", "10"]
    if proxy_port:
        argv += ["-X", f"127.0.0.1:{proxy_port}"]
    r = run(argv + [url], timeout=300)

    def grab(pat, default=0.0):
        m = re.search(pat, r.stdout)
        return float(m.group(1)) if m else default

    complete = int(grab(r"Complete requests:\s+(\d+)"))
    if r.returncode != 0 or complete == 0:
        raise RuntimeError(f"ab failed: {r.stdout[-500:]} {r.stderr[-500:]}")
    return {
        "requests": complete,
        "failed": int(grab(r"Failed requests:\s+(\d+)")) + int(grab(r"Non-2xx responses:\s+(\d+)")),
        "rps": grab(r"Requests per second:\s+([\d.]+)"),
    }


def run_curls(count, url, proxy_port, tunnel):
    argv = ["curl", "-s", "-o", "/dev/null", "-w", "%{http_code} %{size_download} %{time_total}\n"]
    if proxy_port:
        argv += ["-x", f"http://127.0.0.1:{proxy_port}"]
    if tunnel:
        argv += ["-k"]
        if proxy_port:
            argv += ["--proxytunnel"]
    size = secs = 0.0
    bad = 0
    for _ in range(count):
        r = run(argv + [url], timeout=120)
        parts = r.stdout.split()
        if r.returncode != 0 or len(parts) != 3 or parts[0] != "200" or int(parts[1]) != BULK_SIZE:
            bad += 1
            continue
        size += float(parts[1])
        secs += float(parts[2])
    return {"mbps": size / secs / 1e6 if secs else 0.0, "failed": bad}


def hold_tunnels(n, proxy_port, origin_port, on_established, timeout=120.0):
    """Opens n connections (CONNECT tunnels through the proxy, or plain
    connections to the origin when proxy_port is None), calls on_established
    once every one is up and idle, then sends one GET through each."""
    target = ("127.0.0.1", proxy_port or origin_port)
    connect_req = (f"CONNECT 127.0.0.1:{origin_port} HTTP/1.1\r\n"
                   f"Host: 127.0.0.1:{origin_port}\r\n\r\n").encode()
    get_req = (f"GET /{SMALL} HTTP/1.1\r\nHost: 127.0.0.1:{origin_port}\r\n"
               f"Connection: close\r\n\r\n").encode()
    sel = selectors.DefaultSelector()
    socks, state, bufs = [], {}, {}
    established = failed = 0
    in_flight = 0
    window = 128  # handshakes in progress at once: a short listen queue is not flooded
    t_start = time.monotonic()
    deadline = t_start + timeout
    next_i = 0

    def start_one():
        nonlocal next_i, in_flight
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex(target)
        socks.append(s)
        state[s] = "connecting"
        bufs[s] = b""
        sel.register(s, selectors.EVENT_WRITE)
        next_i += 1
        in_flight += 1

    def fail(s):
        nonlocal failed, in_flight
        failed += 1
        in_flight -= 1
        state[s] = "failed"
        sel.unregister(s)

    try:
        while (established + failed) < n and time.monotonic() < deadline:
            while next_i < n and in_flight < window:
                start_one()
            for key, _ in sel.select(timeout=1.0):
                s = key.fileobj
                if state[s] == "connecting":
                    if s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR):
                        fail(s)
                    elif proxy_port is None:
                        state[s] = "idle"
                        sel.unregister(s)
                        established += 1
                        in_flight -= 1
                    else:
                        s.send(connect_req)
                        state[s] = "handshake"
                        sel.modify(s, selectors.EVENT_READ)
                elif state[s] == "handshake":
                    try:
                        data = s.recv(4096)
                    except OSError:
                        data = b""
                    if not data:
                        fail(s)
                        continue
                    bufs[s] += data
                    if b"\r\n\r\n" in bufs[s]:
                        ok = re.match(rb"HTTP/1\.[01] 200", bufs[s]) is not None
                        rest = bufs[s].split(b"\r\n\r\n", 1)[1]
                        if ok and not rest:
                            state[s] = "idle"
                            sel.unregister(s)
                            established += 1
                            in_flight -= 1
                        else:
                            fail(s)
        t_up = time.monotonic()
        time.sleep(1.0)  # let the proxy settle before its memory is read
        on_established()

        t_get = time.monotonic()
        idle = [s for s in socks if state[s] == "idle"]
        for s in idle:
            bufs[s] = b""
            try:
                s.send(get_req)
                sel.register(s, selectors.EVENT_READ)
                state[s] = "get"
            except OSError:
                state[s] = "failed"
        working = 0
        pending = sum(1 for s in idle if state[s] == "get")
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


class SlowClients:
    """n connections to the proxy that send a request head which never ends:
    half of them one more byte every 200 ms, half nothing after the first
    bytes. Opened all at once; closes the proxy makes are timed."""

    def __init__(self, n, proxy_port, origin_port):
        self.head = (f"GET http://127.0.0.1:{origin_port}/{SMALL} HTTP/1.1\r\nX-Pad: " + "p" * 4000).encode()
        self.socks, self.closed_at = [], {}
        self.t0 = time.monotonic()
        for _ in range(n):
            s = socket.socket()
            s.setblocking(False)
            s.connect_ex(("127.0.0.1", proxy_port))
            self.socks.append(s)
        self.sel = selectors.DefaultSelector()
        for s in self.socks:
            self.sel.register(s, selectors.EVENT_READ)
        self.sent = 0
        self.stop = False

    def run_for(self, seconds):
        """Trickles and watches for closes for that long."""
        until = time.monotonic() + seconds
        next_byte = time.monotonic()
        while time.monotonic() < until and len(self.closed_at) < len(self.socks):
            if time.monotonic() >= next_byte and self.sent < len(self.head):
                for i, s in enumerate(self.socks):
                    if s in self.closed_at or (i % 2 == 1 and self.sent >= 16):
                        continue
                    try:
                        s.send(self.head[self.sent:self.sent + 1])
                    except OSError:
                        pass
                self.sent += 1
                next_byte += 0.2
            for key, _ in self.sel.select(timeout=0.05):
                s = key.fileobj
                try:
                    data = s.recv(65536)
                except OSError:
                    data = b""
                if not data:
                    self.closed_at[s] = time.monotonic() - self.t0
                    self.sel.unregister(s)

    def close(self):
        self.sel.close()
        for s in self.socks:
            s.close()


# ---------------------------------------------------------------- the run


class Bench:
    def __init__(self, args, tmp, dist):
        self.args, self.tmp, self.dist = args, tmp, dist
        self.services = {}
        self.results = {}  # (workload metric key, row) -> list of values
        self.notes = []
        self.ad_reply = {}

    def add(self, key, row, value):
        self.results.setdefault(key, {}).setdefault(row, []).append(value)

    def start(self, rows):
        self.origin = free_port()
        self.tls = free_port()
        www = setup_www(self.tmp)
        starters = {
            "direct": lambda p: start_nginx(self.tmp, www, self.origin, self.tls),
            "valdrin": lambda p: start_valdrin(self.tmp, self.dist, p),
            BEFORE: lambda p: start_valdrin(self.tmp, self.args.before, p, BEFORE),
            "tinyproxy": lambda p: start_tinyproxy(self.tmp, p),
            "squid": lambda p: start_squid(self.tmp, p),
            LIMIT: lambda p: start_nginx_limit(self.tmp, p, self.origin),
        }
        for row in rows:
            port = self.origin if row == "direct" else free_port()
            svc = starters[row](port)
            self.services[row] = svc
            if not svc.ready():
                raise RuntimeError(f"{row} did not start listening:\n{svc.tail()}")
            log(f"{row} listening on 127.0.0.1:{svc.port} (pid {svc.pid})")
        self.scripts = {}
        for row in rows:
            # The limit row is an origin to its clients: origin-form targets.
            proxied = row not in ("direct", LIMIT)
            small = f"http://127.0.0.1:{self.origin}/{SMALL}" if proxied else f"/{SMALL}"
            bulk = f"http://127.0.0.1:{self.origin}/{BULK}" if proxied else f"/{BULK}"
            host = f"127.0.0.1:{self.origin}"
            self.scripts[row] = {
                "small": wrk_script(self.tmp, f"{row}-small", small, host, True),
                "bulk": wrk_script(self.tmp, f"{row}-bulk", bulk, host, False),
            }
            if proxied:
                self.scripts[row]["ad"] = wrk_script(
                    self.tmp, f"{row}-ad", f"http://{AD_HOST}/banner.gif", AD_HOST, True)
            else:
                self.scripts[row]["ad"] = self.scripts[row]["small"]

    def stop(self):
        for row in reversed(list(self.services)):
            svc = self.services[row]
            code = svc.proc.poll()
            if code is not None:
                self.notes.append(f"{row} (pid {svc.pid}) ended during the run with status {code}: "
                                  + svc.tail()[-300:].replace("\n", " "))
            svc.stop()
            log(f"stopped {row} (pid {svc.pid})")
        self.services.clear()

    def proxy_port(self, row):
        return None if row in ("direct", LIMIT) else self.services[row].port

    def url_of(self, row, name):
        # ab asks the limit row as an origin; every other row for the origin.
        port = self.services[row].port if row == LIMIT else self.origin
        return f"http://127.0.0.1:{port}/{name}"

    def measured_pid(self, row):
        # The direct row's "proxy" is nginx itself: the reference cost of serving.
        return self.services[row].pid

    def probe_ad_reply(self, row):
        argv = ["curl", "-s", "-o", "/dev/null", "-w", "%{http_code} %{content_type} %{size_download}"]
        if row == LIMIT:
            return "—"
        if row == "direct":
            url = f"http://127.0.0.1:{self.origin}/{SMALL}"
        else:
            argv += ["-x", f"http://127.0.0.1:{self.proxy_port(row)}"]
            url = f"http://{AD_HOST}/banner.gif"
        r = run(argv + [url], timeout=30)
        parts = (r.stdout.split() + ["", "", ""])[:3]
        return f"{parts[0]} {parts[1] or '-'} {parts[2]} B"

    # --- workloads ---

    def wl_a(self, row):
        pid = self.measured_pid(row)
        before = cpu_seconds(pid)
        w = run_wrk(self.scripts[row]["small"], self.services[row].port, 2, 50, self.args.duration)
        cpu = cpu_seconds(pid) - before
        self.add("a.rps", row, w["rps"])
        self.add("a.p50", row, w["p50_ms"])
        self.add("a.p99", row, w["p99_ms"])
        self.add("a.status_errors", row, w["status_errors"])
        self.add("a.socket_errors", row, w["socket_errors"])
        if w["requests"]:
            self.add("b.cpu_wrk", row, cpu / w["requests"] * 10000)
        return f"{w['rps']:.0f} req/s, p99 {w['p99_ms']:.1f} ms, errors: {w['error_kinds']}"

    def wl_b(self, row):
        pid = self.measured_pid(row)
        before = cpu_seconds(pid)
        r = run_ab(self.args.ab_requests, 50, self.url_of(row, SMALL), self.proxy_port(row))
        cpu = cpu_seconds(pid) - before
        self.add("b.cpu_ab", row, cpu / r["requests"] * 10000)
        self.add("b.ab_errors", row, r["failed"])
        return f"ab {r['rps']:.0f} req/s, {cpu:.2f} CPU s, failed {r['failed']}"

    def wl_c(self, row):
        w = run_wrk(self.scripts[row]["bulk"], self.services[row].port, 2, 4, self.args.duration)
        self.add("c.wrk", row, w["mbps"])
        self.add("c.wrk_errors", row, w["status_errors"] + w["socket_errors"])
        port = self.proxy_port(row)
        get = run_curls(self.args.curls, f"http://127.0.0.1:{self.origin}/{BULK}", port, False)
        self.add("c.curl", row, get["mbps"])
        tun = run_curls(self.args.curls, f"https://127.0.0.1:{self.tls}/{BULK}", port, True)
        self.add("c.tunnel", row, tun["mbps"])
        self.add("c.curl_errors", row, get["failed"] + tun["failed"])
        return (f"wrk {w['mbps']:.0f} MB/s, curl {get['mbps']:.0f} MB/s, "
                f"tunnel {tun['mbps']:.0f} MB/s, failed {get['failed'] + tun['failed']}")

    def wl_d(self, row):
        pid = self.measured_pid(row)
        out = []
        for n in self.args.tunnels:
            time.sleep(0.5)
            base = rss_kib(pid)
            seen = {}

            def measure():
                seen["rss"] = rss_kib(pid)

            r = hold_tunnels(n, self.proxy_port(row), self.origin, measure)
            self.add(f"d.{n}.rss", row, seen["rss"] / 1024)
            self.add(f"d.{n}.per", row, (seen["rss"] - base) / n)
            self.add(f"d.{n}.est", row, r["established"])
            self.add(f"d.{n}.ok", row, r["working"])
            out.append(f"{n}: {r['established']} up, {r['working']} ok, "
                       f"{(seen['rss'] - base) / n:.1f} KiB each, up in {r['up_s']:.1f} s, "
                       f"GETs in {r['get_s']:.1f} s")
        return "; ".join(out)

    def wl_e(self, row):
        w = run_wrk(self.scripts[row]["ad"], self.services[row].port, 2, 50, self.args.duration)
        self.add("e.rps", row, w["rps"])
        self.add("e.socket_errors", row, w["socket_errors"])
        return f"{w['rps']:.0f} req/s, socket errors {w['socket_errors']}"

    def wl_f(self, row):
        port = self.services[row].port
        slow = SlowClients(self.args.slow, port, self.origin)
        try:
            slow.run_for(2.0)
            # The ordinary clients run beside them from another thread of work.
            result = {}

            def load():
                result.update(run_wrk(self.scripts[row]["small"], port, 2, 50, self.args.duration))

            import threading
            t = threading.Thread(target=load)
            t.start()
            while t.is_alive():
                slow.run_for(0.5)
            t.join()
            w = result
            served = w["requests"] - w["status_errors"] - w["socket_errors"]
            self.add("f.rps", row, w["rps"])
            self.add("f.p99", row, w["p99_ms"])
            self.add("f.served", row, 100.0 * served / max(1, w["requests"]))
            if row in ("valdrin", BEFORE):
                # The factory header deadline is 30 s from each connect.
                slow.run_for(max(0.0, 33.0 - (time.monotonic() - slow.t0)))
                on_time = sum(1 for t_ in slow.closed_at.values() if 29.5 <= t_ <= 33.0)
                self.add("f.closed", row, on_time)
            return (f"{w['rps']:.0f} req/s beside {self.args.slow} slow clients, p99 {w['p99_ms']:.1f} ms, "
                    f"{served}/{w['requests']} served, {len(slow.closed_at)} slow ones closed")
        finally:
            slow.close()

    def run(self, rows, workloads):
        self.ad_reply = {row: self.probe_ad_reply(row) for row in rows}
        for rep in range(self.args.reps):
            for wl in workloads:
                # Rotate the row order each rep so no row always runs first.
                order = rows[rep % len(rows):] + rows[:rep % len(rows)]
                for row in order:
                    if row == LIMIT and wl not in LIMIT_WORKLOADS:
                        continue
                    if row == "direct" and wl == "f":
                        continue
                    try:
                        summary = getattr(self, f"wl_{wl}")(row)
                    except Exception as e:  # a failed row is recorded, the run goes on
                        summary = f"FAILED: {e}"
                        self.notes.append(f"rep {rep + 1}, ({wl}) {row}: {e}")
                    log(f"rep {rep + 1} ({wl}) {row}: {summary}")
                    time.sleep(self.args.pause)


# ---------------------------------------------------------------- tables

HIGHER, LOWER = "higher", "lower"


def med(values):
    return statistics.median(values) if values else None


def fmt(v, digits):
    if v is None:
        return "—"
    return f"{v:,.{digits}f}"


def ratio(v, ref):
    if v is None or ref in (None, 0):
        return "—"
    return f"{v / ref:.2f}×"


def table(results, rows, title, metrics, extra=None):
    """metrics: (key, header, digits, better). Every metric gets its median
    and its ratios to the direct row and to the best peer."""
    out = [f"### {title}", ""]
    with_limit = LIMIT in rows
    with_before = BEFORE in rows
    head = ["row"]
    for _, header, _, _ in metrics:
        head += [header, "× direct", "× best peer"] + (["× limit"] if with_limit else []) + \
            (["× before"] if with_before else [])
    if extra:
        head += [h for h, _ in extra]
    out.append("| " + " | ".join(head) + " |")
    out.append("|" + "---|" * len(head))
    for row in rows:
        if all(row not in results.get(key, {}) for key, _, _, _ in metrics):
            continue  # a row this workload does not run
        cells = [row]
        for key, _, digits, better in metrics:
            by_row = {r: med(results.get(key, {}).get(r, [])) for r in rows}
            peers = [by_row[p] for p in PEERS if by_row.get(p) is not None]
            best = (max(peers) if better == HIGHER else min(peers)) if peers else None
            v = by_row[row]
            cells += [fmt(v, digits), ratio(v, by_row.get("direct")), ratio(v, best)]
            if with_limit:
                cells.append(ratio(v, by_row.get(LIMIT)))
            if with_before:
                cells.append(ratio(v, by_row.get(BEFORE)))
        if extra:
            cells += [fn(row) for _, fn in extra]
        out.append("| " + " | ".join(cells) + " |")
    return "\n".join(out) + "\n"


def report(bench, rows, workloads, args, started):
    R = bench.results

    def total(key):
        return lambda row: fmt(sum(R.get(key, {}).get(row, [])) if R.get(key, {}).get(row) else None, 0)

    def span(key, n):
        def f(row):
            vals = R.get(key, {}).get(row, [])
            return f"{min(vals)}/{n}" if vals else "—"
        return f

    parts = []
    now = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    cpu = ""
    try:
        with open("/proc/cpuinfo") as f:
            cpu = re.search(r"model name\s*:\s*(.*)", f.read()).group(1)
    except (OSError, AttributeError):
        pass
    parts.append(f"## Benchmark run {now}\n\nMachine: {platform.node()}, {os.cpu_count()} CPUs "
                 f"({cpu}), kernel {platform.release()}. Reps: {args.reps} (medians), "
                 f"durations {args.duration} s, elapsed {time.monotonic() - started:.0f} s.\n")
    if "a" in workloads:
        parts.append(table(R, rows, "(a) small GET, one request per connection "
                           f"(wrk -t2 -c50 -d{args.duration}s, 1 KiB, Connection: close)", [
            ("a.rps", "req/s", 0, HIGHER),
            ("a.p50", "p50 ms", 2, LOWER),
            ("a.p99", "p99 ms", 2, LOWER),
        ], [("non-2xx (all reps)", total("a.status_errors")),
            ("socket errors (all reps)", total("a.socket_errors"))]))
        parts.append("A proxy that closes after a reply without saying \"Connection: close\" "
                     "shows read errors: wrk sends its next request on that connection and "
                     "meets the close.\n")
    if "a" in workloads or "b" in workloads:
        metrics = []
        if "a" in workloads:
            metrics.append(("b.cpu_wrk", "CPU s / 10k (wrk a)", 3, LOWER))
        if "b" in workloads:
            metrics.append(("b.cpu_ab", f"CPU s / 10k (ab -n {args.ab_requests} -c 50)", 3, LOWER))
        extra = [("ab failed (all reps)", total("b.ab_errors"))] if "b" in workloads else None
        parts.append(table(R, rows, "(b) CPU seconds of the server per 10,000 requests "
                           "(direct row: nginx itself)", metrics, extra))
    if "c" in workloads:
        parts.append(table(R, rows, "(c) bulk 10 MiB, MB/s (10^6 bytes/s)", [
            ("c.wrk", "GET wrk -c4", 0, HIGHER),
            ("c.curl", f"GET {args.curls}× curl", 0, HIGHER),
            ("c.tunnel", f"CONNECT {args.curls}× curl", 0, HIGHER),
        ], [("wrk errors", total("c.wrk_errors")), ("curl failed", total("c.curl_errors"))]))
    if "d" in workloads:
        metrics = []
        for n in args.tunnels:
            metrics += [(f"d.{n}.rss", f"RSS MiB at {n:,}", 1, LOWER),
                        (f"d.{n}.per", f"KiB / tunnel at {n:,}", 1, LOWER)]

        def counts(row):
            return ", ".join(f"{span(f'd.{n}.est', n)(row)} up, {span(f'd.{n}.ok', n)(row)} GET ok"
                             for n in args.tunnels)

        parts.append(table(R, rows, "(d) idle CONNECT tunnels (direct row: idle connections "
                           "held open on nginx)", metrics, [("tunnels (worst rep)", counts)]))
    if "e" in workloads:
        parts.append(table(R, rows, "(e) ad reply (wrk -t2 -c50, Connection: close; "
                           "direct row: nginx serving its 1 KiB file)", [
            ("e.rps", "req/s", 0, HIGHER),
        ], [("reply", lambda row: bench.ad_reply.get(row, "—")),
            ("socket errors (all reps)", total("e.socket_errors"))]))
        parts.append("Peers answer the listed host with their own block (403 page), "
                     "the closest equivalent they offer.\n")
    if "f" in workloads:
        def quiet_ratio(row):
            a, f = med(R.get("a.p99", {}).get(row, [])), med(R.get("f.p99", {}).get(row, []))
            return ratio(f, a)

        def closed(row):
            vals = R.get("f.closed", {}).get(row, [])
            return f"{min(vals):.0f}/{args.slow}" if vals else "—"

        parts.append(table(R, rows, f"(f) small GETs as in (a) beside {args.slow} slow clients "
                           "(half trickling a head one byte per 200 ms, half silent)", [
            ("f.rps", "req/s", 0, HIGHER),
            ("f.p99", "p99 ms", 2, LOWER),
            ("f.served", "% served", 2, HIGHER),
        ], [("p99 × quiet (a)", quiet_ratio), ("slow closed at 30 s deadline (worst rep)", closed)]))
    if bench.notes:
        parts.append("Notes:\n\n" + "\n".join(f"- {n}" for n in bench.notes) + "\n")
    return "\n".join(parts)


# ---------------------------------------------------------------- main


def find_dist(arg):
    for cand in ([arg] if arg else [os.path.join(REPO, "build", "dist")]):
        if cand and os.access(os.path.join(cand, "valdrin_proxy"), os.X_OK):
            return os.path.abspath(cand)
    return None


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--quick", action="store_true", help="2 s runs, 1 rep: a smoke test")
    ap.add_argument("--dist", help="ready-to-run folder with valdrin_proxy (default build/dist)")
    ap.add_argument("--before", help="another ready-to-run folder (an earlier build), run as the row "
                    f"{BEFORE} beside valdrin in the same run")
    ap.add_argument("--rows", default=",".join(ALL_ROWS))
    ap.add_argument("--workloads", default="".join(ALL_WORKLOADS))
    ap.add_argument("--duration", type=int, default=10, help="seconds per wrk run")
    ap.add_argument("--tunnels", default="1000,5000")
    ap.add_argument("--json", help="also write the raw figures here")
    ap.add_argument("--keep", action="store_true", help="keep the temporary folder")
    args = ap.parse_args()
    if args.quick:
        args.reps, args.duration = 1, 2
    args.ab_requests = 10000
    args.curls = 10
    args.pause = 0.5 if args.quick else 1.0
    args.tunnels = [int(x) for x in args.tunnels.split(",") if x]
    args.slow = 2000
    rows = [r for r in args.rows.split(",") if r]
    workloads = [w for w in args.workloads if w in ALL_WORKLOADS]
    if "direct" not in rows:
        rows.insert(0, "direct")  # nginx is the origin of every row
    dist = find_dist(args.dist)
    if "valdrin" in rows and not dist:
        log("no valdrin_proxy found (build/dist or --dist): running without its row")
        rows.remove("valdrin")
    if args.before:
        args.before = find_dist(args.before)
        if not args.before:
            sys.exit("--before: no valdrin_proxy in that folder")
        rows.insert(rows.index("valdrin") + 1 if "valdrin" in rows else len(rows), BEFORE)
    if os.geteuid() != 0:
        sys.exit("run as root: the peers drop to their own users and the tunnels need a high RLIMIT_NOFILE")
    raise_nofile()

    started = time.monotonic()
    tmp = tempfile.mkdtemp(prefix="valdrin-bench-")
    os.chmod(tmp, 0o755)  # the peers' own users reach their subfolders
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
    if "valdrin" not in rows:
        bench.notes.append("the Valdrin row is missing: no valdrin_proxy was found")
    text = report(bench, rows, workloads, args, started)
    print(text)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"rows": rows, "results": bench.results, "notes": bench.notes,
                       "ad_reply": bench.ad_reply}, f, indent=1)


if __name__ == "__main__":
    main()
