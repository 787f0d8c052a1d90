#!/usr/bin/env python3
"""Side-by-side benchmark of the proxy's DNS proxy.

Starts an authoritative dnsmasq as the upstream name server (every name under
bench.test answers 192.0.2.1; the `direct` row asks it without a proxy, the
bound no forwarder can beat), then valdrin_proxy (DNS only, with the block
lists of bench/blocklist/make_lists.py loaded: 85,000 domain filters and a
130,000-line hosts file), dnsmasq and Unbound (one thread), each forwarding
to it with a cache, all on loopback with their own configuration in a
temporary folder. Both valdrin_proxy instances run the HTTP proxy too, idle,
one with the DNS proxy and one without: the difference is what the DNS proxy
adds beside the loaded lists. dnsperf drives every row, rep
by rep (rep 1 of every row, then rep 2, ...); the script stops exactly the
processes it started and prints one markdown table per workload with medians
and ratios to the direct row and to the best peer. Helpers are run.py's.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import run as base  # noqa: E402
import socks_rdr  # noqa: E402  (wait_ports_file)

log, med, fmt, ratio = base.log, base.med, base.fmt, base.ratio
PEERS = ("dnsmasq", "unbound")
ROWS = ("direct", "valdrin") + PEERS
HIT_NAMES = 1000
CLIENTS = 8


def dig_ok(port, name="probe.bench.test"):
    r = subprocess.run(["dig", "@127.0.0.1", "-p", str(port), "+tries=1", "+time=1", "+short", name],
                       capture_output=True, text=True)
    return r.stdout.strip() != ""


def wait_dns(port, proc, seconds=15.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and proc.poll() is None:
        if dig_ok(port):
            return True
    return False


def start_upstream(tmp, port):
    return base.Service("upstream", ["dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null", "--no-resolv",
                                     "--no-hosts", f"--port={port}", "--listen-address=127.0.0.1",
                                     "--bind-interfaces", "--user=root", "--group=root", "--pid-file=",
                                     "--cache-size=0", "--dns-forward-max=10000",
                                     # Its answers' TTL; dnsmasq's default of 0 lets no forwarder cache them.
                                     "--local-ttl=3600",
                                     "--address=/bench.test/192.0.2.1"],
                        tmp, f"{tmp}/upstream.log", port)


def start_valdrin(tmp, dist, port, upstream, lists=None, dns=True, http_port=0):
    name = "valdrin" if dns else "valdrin-lists"
    d = os.path.join(tmp, name)
    shutil.copytree(dist, d)
    extra = ""
    if lists:
        extra = "AdHostsEnabled=true\n" + "".join(f"AdListFile{i}={p}\n" for i, p in enumerate(lists))
    base.write(f"{d}/valdrin.conf", f"""[Main]
LogFile={d}/valdrin.log
ErrFile={d}/valdrin.err
AllowedHost0=127.0.0.1
AccessLog=

[HTTP]
HTTPEnabled=true
HTTPPort={http_port}
HTTPListen=127.0.0.1
{extra}
[DNS]
DNSEnabled={"true" if dns else "false"}
DNSPort={port}
DNSListen=127.0.0.1
DNSServer1=127.0.0.1:{upstream}
DNSHostsFile=
# The peers limit no client; the bench's one client asks far past the default.
DNSClientRate=0
""")
    ports_file = f"{d}/ports"
    svc = base.Service(name, [f"{d}/valdrin_proxy", "--config", f"{d}/valdrin.conf", "--ports-file",
                                   ports_file], d, f"{d}/stdout.log", port)
    ports, why = socks_rdr.wait_ports_file(ports_file, svc.proc, 60.0)
    if ports is None:
        raise SystemExit(f"valdrin_proxy {why}:\n{svc.tail()}")
    return svc


def start_dnsmasq(tmp, port, upstream):
    return base.Service("dnsmasq", ["dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null", "--no-resolv",
                                    "--no-hosts", f"--port={port}", "--listen-address=127.0.0.1",
                                    "--bind-interfaces", "--user=root", "--group=root", "--pid-file=",
                                    "--cache-size=10000", f"--server=127.0.0.1#{upstream}"],
                        tmp, f"{tmp}/dnsmasq.log", port)


def start_unbound(tmp, port, upstream):
    base.write(f"{tmp}/unbound.conf", f"""server:
    interface: 127.0.0.1
    port: {port}
    num-threads: 1
    do-daemonize: no
    username: ""
    chroot: ""
    directory: "{tmp}"
    pidfile: ""
    use-syslog: no
    logfile: ""
    verbosity: 0
    access-control: 127.0.0.0/8 allow
    do-not-query-localhost: no
    module-config: "iterator"
    msg-cache-size: 16m
    rrset-cache-size: 32m
    local-zone: "test." nodefault
forward-zone:
    name: "."
    forward-addr: 127.0.0.1@{upstream}
""")
    return base.Service("unbound", ["unbound", "-d", "-c", f"{tmp}/unbound.conf"], tmp, f"{tmp}/unbound.log", port)


def dnsperf(port, datafile, seconds, clients=CLIENTS, mode="udp", max_runs=None):
    argv = ["dnsperf", "-s", "127.0.0.1", "-p", str(port), "-d", datafile, "-c", str(clients), "-T", "2",
            "-l", str(seconds), "-q", "500", "-t", "5", "-m", mode]
    if max_runs:
        argv += ["-n", str(max_runs)]
    out = base.run(argv, timeout=seconds + 60).stdout
    def num(label):
        m = re.search(label + r":\s+([0-9.]+)", out)
        return float(m.group(1)) if m else None
    return {"qps": num("Queries per second"), "lost": num("Queries lost"), "sent": num("Queries sent"),
            "avg_ms": (num(r"Average Latency \(s\)") or 0) * 1000}


def latencies(port, datafile, qps=20000, seconds=3):
    """Median and 99th percentile in ms at a steady qps, from dnsperf's
    report of every query."""
    argv = ["dnsperf", "-s", "127.0.0.1", "-p", str(port), "-d", datafile, "-c", str(CLIENTS), "-T", "2",
            "-l", str(seconds), "-Q", str(qps), "-t", "5", "-v"]
    out = base.run(argv, timeout=seconds + 60).stdout
    times = sorted(float(m.group(1)) * 1000 for m in re.finditer(r"^> NOERROR \S+ \S+ ([0-9.]+)$", out, re.M))
    if not times:
        return None, None
    return times[len(times) // 2], times[min(len(times) - 1, int(len(times) * 0.99))]


def write_names(path, names):
    with open(path, "w") as f:
        for n in names:
            f.write(f"{n} A\n")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--dist", help="ready-to-run folder (default build/dist)")
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--seconds", type=int, default=10)
    ap.add_argument("--no-lists", action="store_true", help="run valdrin without block lists (and no blocked-names workload)")
    args = ap.parse_args()
    dist = base.find_dist(args.dist)
    if dist is None:
        raise SystemExit("no build/dist/valdrin_proxy: build first, or give --dist")
    base.raise_nofile()
    started = time.time()
    tmp = tempfile.mkdtemp(prefix="valdrin-dns-bench-")
    services = []
    results = {}
    try:
        up_port = base.free_port()
        up = start_upstream(tmp, up_port)
        services.append(up)
        if not wait_dns(up_port, up.proc):
            raise SystemExit("upstream dnsmasq did not answer:\n" + up.tail())
        lists = None
        if not args.no_lists:
            data = f"{tmp}/lists"
            base.run([sys.executable, os.path.join(HERE, "blocklist", "make_lists.py"), data], timeout=300)
            lists = [f"{data}/easylist.txt", f"{data}/hosts.txt"]
            only_lists = start_valdrin(tmp, dist, base.free_port(), up_port, lists, dns=False,
                                       http_port=base.free_port())
            services.append(only_lists)
        ports = {"direct": up_port}
        for row, start in (("valdrin", lambda p: start_valdrin(tmp, dist, p, up_port, lists,
                                                              http_port=base.free_port())),
                           ("dnsmasq", lambda p: start_dnsmasq(tmp, p, up_port)),
                           ("unbound", lambda p: start_unbound(tmp, p, up_port))):
            p = base.free_port()
            svc = start(p)
            services.append(svc)
            if not wait_dns(p, svc.proc):
                raise SystemExit(f"{row} did not answer:\n{svc.tail()}")
            ports[row] = p
        pids = {s.name: s.pid for s in services}

        hits = f"{tmp}/hits.txt"
        write_names(hits, [f"h{i}.bench.test" for i in range(HIT_NAMES)])
        blocked = None
        if lists:
            blocked = f"{tmp}/blocked.txt"
            with open(f"{data}/hits.txt") as f:
                write_names(blocked, [line.strip() for line in f if line.strip()])
        rss_before = base.rss_kib(pids["valdrin"])
        rss_lists = base.rss_kib(pids["valdrin-lists"]) if lists else None
        for row in ROWS:
            dnsperf(ports[row], hits, 5, max_runs=1)  # warm the caches
        for rep in range(args.reps):
            for row in ROWS:
                log(f"rep {rep + 1}: {row}")
                r = dnsperf(ports[row], hits, args.seconds)
                results.setdefault("hit", {}).setdefault(row, []).append(r)
                unique = f"{tmp}/miss-{rep}-{row}.txt"
                write_names(unique, [f"u{i}.r{rep}{row}.bench.test" for i in range(400000)])
                r = dnsperf(ports[row], unique, args.seconds, max_runs=1)
                results.setdefault("miss", {}).setdefault(row, []).append(r)
                os.unlink(unique)
                r = dnsperf(ports[row], hits, args.seconds, clients=1000, mode="tcp")
                results.setdefault("tcp", {}).setdefault(row, []).append(r)
                if blocked and row == "valdrin":
                    r = dnsperf(ports[row], blocked, args.seconds)
                    results.setdefault("blocked", {}).setdefault(row, []).append(r)
        rss_after = base.rss_kib(pids["valdrin"])
        lat = {row: latencies(ports[row], hits) for row in ROWS}

        def table(key, title):
            rows = [r for r in ROWS if r in results.get(key, {})]
            by = {r: med([x["qps"] for x in results[key][r] if x["qps"] is not None]) for r in rows}
            peers = [by[p] for p in PEERS if by.get(p)]
            best = max(peers) if peers else None
            out = [f"### {title}", "", "| row | queries/s | × direct | × best peer | lost (median) | avg latency ms |",
                   "|---|---|---|---|---|---|"]
            for r in rows:
                lost = med([x["lost"] or 0 for x in results[key][r]])
                lat = med([x["avg_ms"] for x in results[key][r]])
                out.append(f"| {r} | {fmt(by[r], 0)} | {ratio(by[r], by.get('direct'))} | {ratio(by[r], best)} | "
                           f"{fmt(lost, 0)} | {fmt(lat, 3)} |")
            return "\n".join(out) + "\n"

        print(f"## DNS proxy, {args.reps} reps of {args.seconds} s, dnsperf -c {CLIENTS} -T 2 -q 500 "
              f"({time.strftime('%Y-%m-%d')}, {os.cpu_count()} cores)\n")
        print(table("hit", f"cache hits: {HIT_NAMES} names asked again and again"))
        print(table("miss", "cache misses: every name new (400,000 per run)"))
        print(table("tcp", "TCP: 1,000 clients at once, cache hits"))
        if blocked:
            print(table("blocked", "blocked names (valdrin only): 100,000 names the lists match, "
                               "against its cache hits above"))
        print("### latency of cache hits at a steady 20,000 queries/s\n")
        print("| row | median ms | p99 ms |\n|---|---|---|")
        for row in ROWS:
            print(f"| {row} | {fmt(lat[row][0], 3)} | {fmt(lat[row][1], 3)} |")
        print()
        print(f"valdrin RSS: {rss_before:,} KiB after start, {rss_after:,} KiB after the runs "
              f"(cache of {HIT_NAMES} + misses, bounded by DNSCacheSize 10,000)")
        if rss_lists is not None:
            print(f"; the same lists without the DNS proxy: {rss_lists:,} KiB, so the DNS proxy adds "
                  f"{rss_before - rss_lists:,} KiB at start and {rss_after - rss_lists:,} KiB after the runs")
        print()
        print(f"run took {time.time() - started:.0f} s")
    finally:
        for s in reversed(services):
            s.stop()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
