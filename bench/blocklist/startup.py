#!/usr/bin/env python3
"""Times the daemon's start-up with and without the benchmark's lists: from
the launch of valdrin_proxy until it tells a stand-in service manager
READY=1 (it does so once it listens), and its resident memory then. Runs
alternate between the two configurations; the medians are printed.

Usage: startup.py DIST_DIR LIST_FOLDER [--runs N]
Only loopback is used; each daemon started here is stopped here, by its pid.
"""
import argparse
import os
import shutil
import signal
import socket
import statistics
import subprocess
import tempfile
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def one_start(folder, lists):
    conf = os.path.join(folder, "valdrin.conf")
    with open(os.path.join(folder, "valdrin.conf.default")) as f:
        text = f.read()
    extra = "".join(f"AdListFile{i}={path}\n" for i, path in enumerate(lists))
    text = text.replace("HTTPPort=3128", f"HTTPPort={free_port()}\n{extra}", 1)
    with open(conf, "w") as f:
        f.write(text)
    notify_path = os.path.join(folder, "notify")
    if os.path.exists(notify_path):
        os.unlink(notify_path)
    notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    notify.bind(notify_path)
    notify.settimeout(30)
    env = dict(os.environ, NOTIFY_SOCKET=notify_path)
    started = time.monotonic()
    daemon = subprocess.Popen([os.path.join(folder, "valdrin_proxy"), "--config", conf], env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, cwd=folder)
    try:
        while True:
            message = notify.recv(4096).decode()
            if "READY=1" in message:
                break
        took = time.monotonic() - started
        memory = rss_kib(daemon.pid)
    finally:
        daemon.send_signal(signal.SIGTERM)
        out, _ = daemon.communicate(timeout=30)
        notify.close()
    return took, memory, out.decode(errors="replace")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("dist")
    parser.add_argument("lists")
    parser.add_argument("--runs", type=int, default=7)
    args = parser.parse_args()
    lists = [os.path.join(args.lists, "easylist.txt"), os.path.join(args.lists, "hosts.txt")]
    with tempfile.TemporaryDirectory(prefix="valdrin-startup-") as tmp:
        folder = os.path.join(tmp, "dist")
        shutil.copytree(args.dist, folder)
        results = {"no list": [], "both lists": []}
        report = ""
        for _ in range(args.runs):
            for name, chosen in (("no list", []), ("both lists", lists)):
                took, memory, out = one_start(folder, chosen)
                results[name].append((took, memory))
                if chosen:
                    report = out
        print("daemon start-up until READY=1, medians of", args.runs, "alternating runs:")
        for name, runs in results.items():
            print(f"  {name:10}  {statistics.median(t for t, _ in runs) * 1000:8.1f} ms   "
                  f"VmRSS {statistics.median(m for _, m in runs) / 1024:6.1f} MiB")
        added = (statistics.median(t for t, _ in results["both lists"]) -
                 statistics.median(t for t, _ in results["no list"])) * 1000
        print(f"  added by the lists: {added:.1f} ms")
        print("start-up lines with both lists:")
        for line in report.splitlines():
            if "skipped from" in line:
                print("  " + line)


if __name__ == "__main__":
    main()
