#!/usr/bin/env python3
"""Counts what one relayed one-shot GET costs the proxy: context switches
(perf stat -e context-switches over all its threads), CPU time, and system
calls by name (strace -c -f), each divided by the requests served.

Starts nginx with a 1 KiB file and valdrin_proxy from a copy of a
ready-to-run folder, all on loopback; drives them with ab (one request per
connection, Connection: close); stops exactly the processes it started.

Usage: per_request.py [--dist build/dist] [--requests 10000] [--concurrency 50]
                      [--strace-requests 2000] [--set KEY=VALUE ...]
--set changes a key of the factory configuration (AccessLog= turns the
access log off, to see what it costs).
Needs nginx, ab (apache2-utils), perf (linux-perf) and strace.
"""
import argparse
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port, seconds=15):
    until = time.time() + seconds
    while time.time() < until:
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return
        time.sleep(0.05)
    sys.exit(f"nothing listens on {port}")


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime of all threads


def ab(port, proxy_port, n, c):
    out = subprocess.run(["ab", "-q", "-n", str(n), "-c", str(c), "-X", f"127.0.0.1:{proxy_port}",
                          f"http://127.0.0.1:{port}/1k.bin"], capture_output=True, text=True, check=True).stdout
    failed = int(re.search(r"Failed requests:\s+(\d+)", out).group(1))
    complete = int(re.search(r"Complete requests:\s+(\d+)", out).group(1))
    return complete - failed


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--dist", default=os.path.join(REPO, "build", "dist"))
    p.add_argument("--requests", type=int, default=10000)
    p.add_argument("--concurrency", type=int, default=50)
    p.add_argument("--strace-requests", type=int, default=2000)
    p.add_argument("--set", action="append", default=[], metavar="KEY=VALUE",
                   help="change a key of the factory configuration")
    args = p.parse_args()
    tmp = tempfile.mkdtemp(prefix="valdrin-per-request-")
    procs = []
    try:
        www = os.path.join(tmp, "www")
        os.mkdir(www)
        with open(os.path.join(www, "1k.bin"), "wb") as f:
            f.write(os.urandom(1024))
        origin_port, proxy_port = free_port(), free_port()
        with open(os.path.join(tmp, "nginx.conf"), "w") as f:
            f.write(f"""daemon off; master_process off; worker_processes 1; user root;
pid {tmp}/nginx.pid; error_log {tmp}/nginx.err warn;
events {{ worker_connections 10000; }}
http {{ access_log off; server {{ listen 127.0.0.1:{origin_port} backlog=4096; root {www}; }} }}
""")
        procs.append(subprocess.Popen(["nginx", "-p", tmp, "-c", f"{tmp}/nginx.conf"]))
        dist = os.path.join(tmp, "dist")
        shutil.copytree(args.dist, dist)
        with open(os.path.join(dist, "valdrin.conf.default")) as f:
            conf = f.read().replace("HTTPPort=3128", f"HTTPPort={proxy_port}")
        for setting in args.set:
            key, _, value = setting.partition("=")
            conf, n = re.subn(rf"(?m)^{re.escape(key)}=.*$", f"{key}={value}", conf)
            if n == 0:
                sys.exit(f"no key {key} in the factory configuration")
        with open(os.path.join(dist, "valdrin.conf"), "w") as f:
            f.write(conf)
        proxy = subprocess.Popen([os.path.join(dist, "valdrin_proxy")], cwd=dist,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        procs.append(proxy)
        wait_port(origin_port)
        wait_port(proxy_port)
        ab(origin_port, proxy_port, 1000, args.concurrency)  # warm-up: pooled threads, page cache

        perf = subprocess.Popen(["perf", "stat", "-x", ",", "-e", "context-switches", "-p", str(proxy.pid)],
                                stderr=subprocess.PIPE, text=True)
        time.sleep(0.3)
        ticks = cpu_ticks(proxy.pid)
        served = ab(origin_port, proxy_port, args.requests, args.concurrency)
        ticks = cpu_ticks(proxy.pid) - ticks
        perf.send_signal(signal.SIGINT)
        switches = int(perf.communicate()[1].strip().splitlines()[-1].split(",")[0])
        clk = os.sysconf("SC_CLK_TCK")
        print(f"{served} one-shot GETs through the proxy, {args.concurrency} at a time:")
        print(f"  context switches per request: {switches / served:.2f}")
        print(f"  CPU per 10,000 requests: {ticks / clk / served * 10000:.2f} s")

        trace = os.path.join(tmp, "strace.txt")
        st = subprocess.Popen(["strace", "-c", "-f", "-o", trace, "-p", str(proxy.pid)],
                              stderr=subprocess.DEVNULL)
        time.sleep(1.0)
        served = ab(origin_port, proxy_port, args.strace_requests, 4)
        time.sleep(0.5)
        st.send_signal(signal.SIGINT)
        st.wait(timeout=30)
        rows = []
        total = 0
        with open(trace) as f:
            for line in f:
                m = re.match(r"\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)(?:\s+\d+)?\s+(\w+)\s*$", line)
                if m and m.group(2) != "total":
                    rows.append((int(m.group(1)), m.group(2)))
                    total += int(m.group(1))
        print(f"{served} GETs under strace -c -f, 4 at a time: {total / served:.1f} system calls per request")
        for calls, name in sorted(rows, reverse=True):
            if calls / served >= 0.05:
                print(f"  {name:16} {calls / served:6.2f}")
    finally:
        for proc in reversed(procs):
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
