#!/usr/bin/env python3
"""The Debian packages end to end, as an administrator meets them.

Builds valdrin-proxy and valdrin-desktop with scripts/deb.sh, installs them
with apt-get, checks the installed layout, the account and the unit, then
runs the daemon as the unit's ExecStart line runs it (as user valdrin, with a
notification socket standing in for the service manager) and drives it over
loopback: browsing, a CONNECT tunnel kept busy across a reload, a reload
that changes the allow-list and the ad hosts, a broken reload, the installed
wizard's Apply reloading the service (under Xvfb, with a stand-in for the
service manager on a private bus), and a stop.
It purges both packages at the end, whatever happened before.

    package_test.py SOURCE_DIR

Exits 77 (skipped) when not root, not on Debian, with VALDRIN_SKIP_PACKAGE=1,
or when valdrin-proxy is already installed (it would be purged).
"""
import glob
import grp
import http.server
import os
import pwd
import re
import shlex
import shutil
import signal
import socket
import socketserver
import stat
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77
CONF = "/etc/valdrin/valdrin.conf"
ADHOSTS = "/etc/valdrin/adhosts"
IMAGE = "/usr/share/valdrin/valdrin.sys"
LOG_DIR = "/var/log/valdrin"
PACKAGES = ("valdrin-proxy", "valdrin-desktop")
ORIGIN_BODY = b"valdrin package test origin\n"


class Checks:
    """Records each check; a failed one says what was expected and seen."""

    def __init__(self):
        self.passed = 0
        self.failed = []

    def check(self, name, ok, detail=""):
        if ok:
            self.passed += 1
            print(f"ok    {name}", flush=True)
        else:
            self.failed.append(name)
            print(f"FAIL  {name}: {detail}", flush=True)
        return ok


class Fatal(Exception):
    """A failure after which the rest of the run means nothing."""


def run(argv, timeout, **kw):
    return subprocess.run(argv, capture_output=True, text=True, timeout=timeout, **kw)


def wait_until(predicate, timeout_s, step_s=0.05):
    deadline = time.monotonic() + timeout_s
    while True:
        if predicate():
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(step_s)


def skip_reason():
    if os.environ.get("VALDRIN_SKIP_PACKAGE") == "1":
        return "VALDRIN_SKIP_PACKAGE=1"
    if os.geteuid() != 0:
        return "installing packages needs root"
    if not os.path.exists("/etc/debian_version") or shutil.which("dpkg") is None:
        return "not a Debian system"
    state = run(["dpkg-query", "-W", "-f=${Status}", "valdrin-proxy"], 30).stdout
    if "installed" in state.split():
        return "valdrin-proxy is already installed here, and this test purges it"
    return None


# ---------------------------------------------------------------- loopback peers

class Origin(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(ORIGIN_BODY)))
        self.end_headers()
        self.wfile.write(ORIGIN_BODY)

    def log_message(self, *args):
        pass


class Echo(socketserver.BaseRequestHandler):
    def handle(self):
        while True:
            data = self.request.recv(65536)
            if not data:
                return
            self.request.sendall(data)


class ThreadingTCP(socketserver.ThreadingMixIn, socketserver.TCPServer):
    daemon_threads = True
    allow_reuse_address = True


def serve(handler):
    server = ThreadingTCP(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


class NotifySocket:
    """The service manager's side of sd_notify: records every datagram."""

    def __init__(self, folder):
        self.path = os.path.join(folder, "notify")
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)
        os.chmod(self.path, 0o666)
        self.messages = []
        self.lock = threading.Lock()
        threading.Thread(target=self._receive, daemon=True).start()

    def _receive(self):
        while True:
            try:
                data = self.sock.recv(4096)
            except OSError:
                return
            with self.lock:
                self.messages.append(data.decode(errors="replace"))

    def lines(self):
        with self.lock:
            return [line for m in self.messages for line in m.split("\n") if line]

    def has_after(self, wanted, after=None):
        """True when `wanted` came (after the first `after` if given)."""
        lines = self.lines()
        start = 0
        if after is not None:
            if after not in lines:
                return False
            start = lines.index(after) + 1
        return wanted in lines[start:]

    def close(self):
        self.sock.close()


class Tunnel:
    """A CONNECT tunnel to the echo server with data flowing all along."""

    def __init__(self, proxy_port, echo_port):
        self.sock = socket.create_connection(("127.0.0.1", proxy_port), timeout=10)
        self.sock.sendall(f"CONNECT 127.0.0.1:{echo_port} HTTP/1.1\r\n"
                          f"Host: 127.0.0.1:{echo_port}\r\n\r\n".encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.sock.recv(1)
            if not chunk:
                raise OSError("the proxy closed the tunnel before answering CONNECT")
            head += chunk
        self.status = head.split(b"\r\n", 1)[0].decode(errors="replace")
        self.sent = 0
        self.echoed = 0
        self.error = None
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._flow, daemon=True)

    def start(self):
        self.thread.start()

    def _flow(self):
        block = 0
        try:
            while not self.stop.is_set():
                data = bytes((block + i) % 251 for i in range(1024))
                self.sock.sendall(data)
                self.sent += len(data)
                got = b""
                while len(got) < len(data):
                    chunk = self.sock.recv(len(data) - len(got))
                    if not chunk:
                        raise OSError(f"the tunnel closed after {self.echoed} bytes came back")
                    got += chunk
                if got != data:
                    raise OSError(f"block {block} came back altered")
                self.echoed += len(got)
                block += 1
                time.sleep(0.01)
        except OSError as e:
            self.error = str(e)

    def finish(self):
        self.stop.set()
        self.thread.join(15)
        self.sock.close()


# ---------------------------------------------------------------- the daemon

def exec_start(unit_path):
    """The unit's ExecStart command line, without systemd's prefixes."""
    with open(unit_path) as f:
        for line in f:
            if line.startswith("ExecStart="):
                argv = shlex.split(line[len("ExecStart="):])
                argv[0] = argv[0].lstrip("-@:+!")
                return argv
    raise Fatal(f"{unit_path} has no ExecStart= line")


def exec_reload(unit_path):
    """The unit's ExecReload command lines, in order, without systemd's prefixes."""
    lines = []
    with open(unit_path) as f:
        for line in f:
            if line.startswith("ExecReload="):
                argv = shlex.split(line[len("ExecReload="):])
                argv[0] = argv[0].lstrip("-@:+!")
                lines.append(argv)
    return lines


def unit_reload(unit_path, main_pid):
    """Runs the unit's ExecReload lines as systemd does for a reload: in
    order, as the service's user, the first that fails ending the reload.
    (succeeded, what the failed line said)."""
    for argv in exec_reload(unit_path):
        argv = [str(main_pid) if a == "$MAINPID" else a for a in argv]
        r = run(["setpriv", "--reuid=valdrin", "--regid=valdrin", "--init-groups", "--"] + argv, 30)
        if r.returncode != 0:
            return False, r.stdout + r.stderr
    return True, ""


def unit_umask(unit_path):
    with open(unit_path) as f:
        m = re.search(r"^UMask=([0-7]+)$", f.read(), re.M)
    return int(m.group(1), 8) if m else 0o022


class Daemon:
    def __init__(self, argv, umask, notify, folder, port):
        self.out_path = os.path.join(folder, "daemon.out")
        self.err_path = os.path.join(folder, "daemon.err")
        self.port = port
        env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LANG": "C.UTF-8",
               "NOTIFY_SOCKET": notify.path}
        # setpriv execs in place: the pid is the daemon's, as systemd's MAINPID.
        cmd = ["setpriv", "--reuid=valdrin", "--regid=valdrin", "--init-groups", "--"] + argv
        self.out = open(self.out_path, "ab")
        self.err = open(self.err_path, "ab")
        self.proc = subprocess.Popen(cmd, env=env, stdin=subprocess.DEVNULL, stdout=self.out,
                                     stderr=self.err, cwd="/",
                                     preexec_fn=lambda: os.umask(umask))

    def alive(self):
        return self.proc.poll() is None

    def listening(self):
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
            return True
        except OSError:
            return False

    def stdout(self):
        with open(self.out_path, errors="replace") as f:
            return f.read()

    def stderr(self):
        with open(self.err_path, errors="replace") as f:
            return f.read()

    def ended(self):
        code = self.proc.returncode
        if code is None:
            return "still running"
        if code < 0:
            return f"ended by signal {-code} ({signal.Signals(-code).name})"
        return f"exited with status {code}"

    def signal(self, sig):
        if self.alive():
            self.proc.send_signal(sig)

    def stop(self):
        """Ends the daemon this test started, by its pid; bounded."""
        if self.alive():
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(15)
        self.out.close()
        self.err.close()


def curl(proxy_port, url, source=None, out_path=None):
    """(status, body) of a GET through the proxy; status 0 when curl failed."""
    argv = ["curl", "-sS", "--max-time", "10", "--noproxy", "", "-x",
            f"http://127.0.0.1:{proxy_port}", "-o", out_path, "-w", "%{http_code}", url]
    if source is not None:
        argv[1:1] = ["--interface", source]
    r = run(argv, 20)
    body = b""
    if os.path.exists(out_path):
        with open(out_path, "rb") as f:
            body = f.read()
        os.remove(out_path)
    try:
        return int(r.stdout.strip() or 0), body
    except ValueError:
        return 0, body


def set_key(path, section, key, value):
    """Sets key=value in [section] of an INI file, keeping every other line."""
    with open(path) as f:
        lines = f.read().split("\n")
    current, header, at = None, None, None
    for i, line in enumerate(lines):
        s = line.strip()
        if s.startswith("[") and s.endswith("]"):
            current = s[1:-1].strip().lower()
            if current == section.lower() and header is None:
                header = i
        elif current == section.lower() and s.split("=", 1)[0].strip().lower() == key.lower():
            at = i
    if at is not None:
        lines[at] = f"{key}={value}"
    elif header is not None:
        lines.insert(header + 1, f"{key}={value}")
    else:
        raise Fatal(f"{path} has no section [{section}]")
    with open(path, "w") as f:
        f.write("\n".join(lines))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# ---------------------------------------------------------------- the run

def build_and_install(c, source, folder):
    out = os.path.join(folder, "deb")
    log = os.path.join(folder, "deb.log")
    started = time.monotonic()
    with open(log, "w") as f:
        r = subprocess.run([os.path.join(source, "scripts/deb.sh"), "--uncommitted", "--out", out],
                           stdout=f, stderr=subprocess.STDOUT, timeout=600)
    with open(log, errors="replace") as f:
        text = f.read()
    if not c.check("scripts/deb.sh builds both packages and lintian passes", r.returncode == 0,
                   f"exit {r.returncode}; last lines of its output:\n" + "\n".join(text.splitlines()[-25:])):
        raise Fatal("no packages")
    print(f"      built in {time.monotonic() - started:.0f} s; "
          + "; ".join(l for l in text.splitlines() if l.startswith(("E:", "W:"))), flush=True)
    debs = [glob.glob(os.path.join(out, f"{p}_*.deb")) for p in PACKAGES]
    if not c.check("deb.sh leaves one .deb of each package", all(len(d) == 1 for d in debs),
                   f"found {debs}"):
        raise Fatal("no packages")
    r = run(["apt-get", "install", "-y", "-q", "--no-install-recommends"] + [d[0] for d in debs],
            600, env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
    if not c.check("apt-get installs both packages", r.returncode == 0,
                   f"exit {r.returncode}: {r.stderr.strip()[-2000:]}"):
        raise Fatal("not installed")


def check_layout(c):
    ma = run(["dpkg-architecture", "-qDEB_HOST_MULTIARCH"], 30).stdout.strip()
    private = f"/usr/lib/{ma}/valdrin"
    expected = {
        "valdrin-proxy": ["/usr/sbin/valdrin_proxy", f"{private}/libkellib.so",
                          f"{private}/libvaldrin_http.so", CONF, ADHOSTS,
                          "/usr/share/valdrin/valdrin.conf.default", IMAGE,
                          "/usr/share/man/man8/valdrin_proxy.8.gz",
                          "/usr/share/man/man5/valdrin.conf.5.gz",
                          "/lib/systemd/system/valdrin-proxy.service",
                          "/etc/logrotate.d/valdrin-proxy"],
        "valdrin-desktop": ["/usr/bin/valdrin_config", "/usr/bin/valdrin_tray",
                            f"{private}/libvaldrin_activity.so",
                            "/usr/share/valdrin/guide/guide.html"],
    }
    for package, paths in expected.items():
        listed = set(run(["dpkg", "-L", package], 30).stdout.split("\n"))
        missing = [p for p in paths if p not in listed or not os.path.exists(p)]
        c.check(f"dpkg -L {package} lists the installed layout", not missing,
                f"missing or absent: {missing}")
    desktop = set(run(["dpkg", "-L", "valdrin-desktop"], 30).stdout.split("\n"))
    c.check("valdrin-desktop has desktop entries", any(
        p.startswith("/usr/share/applications/") and p.endswith(".desktop") for p in desktop),
        "no /usr/share/applications/*.desktop")

    conffiles = run(["dpkg-query", "-W", "-f=${Conffiles}", "valdrin-proxy"], 30).stdout
    c.check("/etc/valdrin files are conffiles", CONF in conffiles and ADHOSTS in conffiles,
            f"conffiles: {conffiles.strip()}")

    readelf = run(["readelf", "-d", "/usr/sbin/valdrin_proxy"], 30).stdout
    c.check("the daemon finds its libraries through its run path",
            f"[$ORIGIN/../lib/{ma}/valdrin]" in readelf, readelf)
    ldd = run(["ldd", "/usr/sbin/valdrin_proxy"], 30).stdout
    c.check("ldd resolves the private libraries in their folder",
            f"libkellib.so => {private}/" in ldd.replace("/usr/sbin/../lib/", "/usr/lib/")
            and f"libvaldrin_http.so => {private}/" in ldd.replace("/usr/sbin/../lib/", "/usr/lib/"),
            ldd)
    cache = run(["ldconfig", "-p"], 30).stdout
    c.check("the private libraries are not in the ldconfig cache",
            "libkellib.so" not in cache and "libvaldrin_http.so" not in cache,
            "ldconfig -p lists them")

    with open(CONF) as f:
        conf = f.read()
    c.check("the installed configuration logs to /var/log/valdrin",
            "\nLogFile=/var/log/valdrin/log.txt\n" in conf
            and "\nErrFile=/var/log/valdrin/err.txt\n" in conf
            and "\nAccessLog=/var/log/valdrin/access.log\n" in conf, conf[:300])
    with open("/usr/share/valdrin/valdrin.conf.default") as f:
        c.check("valdrin.conf.default is the installed configuration", f.read() == conf,
                "they differ")

    try:
        user = pwd.getpwnam("valdrin")
        group = grp.getgrnam("valdrin")
        c.check("the system user valdrin exists with its group, no home, no login",
                user.pw_gid == group.gr_gid and user.pw_dir == "/nonexistent"
                and user.pw_shell.endswith("nologin") and user.pw_uid < 1000,
                f"{user}")
    except KeyError as e:
        c.check("the system user valdrin exists with its group, no home, no login", False, str(e))
        raise Fatal("no user valdrin")

    st = os.stat(CONF)
    c.check("valdrin.conf is root:valdrin 0640",
            st.st_uid == 0 and st.st_gid == grp.getgrnam("valdrin").gr_gid
            and stat.S_IMODE(st.st_mode) == 0o640,
            f"uid {st.st_uid} gid {st.st_gid} mode {oct(stat.S_IMODE(st.st_mode))}")
    st = os.stat(LOG_DIR)
    c.check("/var/log/valdrin is valdrin:adm 0750",
            st.st_uid == pwd.getpwnam("valdrin").pw_uid and st.st_gid == grp.getgrnam("adm").gr_gid
            and stat.S_IMODE(st.st_mode) == 0o750,
            f"uid {st.st_uid} gid {st.st_gid} mode {oct(stat.S_IMODE(st.st_mode))}")

    for page in ("/usr/share/man/man8/valdrin_proxy.8.gz", "/usr/share/man/man5/valdrin.conf.5.gz"):
        r = run(["man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z", page], 60,
                env=dict(os.environ, LC_ALL="C.UTF-8", MANROFFSEQ="", MANWIDTH="80"))
        c.check(f"man renders {os.path.basename(page)} without warnings",
                r.returncode == 0 and r.stderr.strip() == "", r.stderr.strip() or f"exit {r.returncode}")


def check_unit(c, unit):
    wants = "/etc/systemd/system/multi-user.target.wants/valdrin-proxy.service"
    c.check("the install enables the service", os.path.realpath(wants) == os.path.realpath(unit),
            f"{wants} is {'missing' if not os.path.lexists(wants) else os.path.realpath(wants)}")
    r = run(["systemd-analyze", "verify", unit], 120)
    c.check("systemd-analyze verify passes on the unit", r.returncode == 0 and not r.stderr.strip(),
            f"exit {r.returncode}: {r.stderr.strip()}")
    r = run(["systemd-analyze", "security", "--offline=true", unit], 120)
    m = re.search(r"Overall exposure level for \S+: ([0-9.]+) (\w+)", r.stdout)
    c.check("systemd-analyze security rates the unit OK or better",
            m is not None and m.group(2) in ("PERFECT", "SAFE", "OK"),
            m.group(0) if m else f"exit {r.returncode}: {r.stderr.strip()}")
    if m:
        print(f"      exposure {m.group(1)} {m.group(2)}", flush=True)


def exercise_daemon(c, folder, unit, source):
    port = free_port()
    set_key(CONF, "HTTP", "HTTPPort", str(port))
    origin = serve(Origin)
    echo = serve(Echo)
    origin_port = origin.server_address[1]
    notify = NotifySocket(folder)
    argv = exec_start(unit)
    c.check("ExecStart runs /usr/sbin/valdrin_proxy on /etc/valdrin/valdrin.conf",
            argv == ["/usr/sbin/valdrin_proxy", "--config", CONF], f"{argv}")
    umask = unit_umask(unit)
    body_path = os.path.join(folder, "body")
    daemon = Daemon(argv, umask, notify, folder, port)
    daemons = [daemon]

    def get(url, source=None):
        return curl(port, url, source, body_path)

    try:
        up = wait_until(lambda: daemon.listening() or not daemon.alive(), 15) and daemon.alive()
        said = daemon.stdout() + daemon.stderr()
        hint = ""
        if "adhosts" in said or "valdrin.sys" in said:
            hint = ("; it looked for adhosts or valdrin.sys in its own folder /usr/sbin, "
                    "not in /etc/valdrin then /usr/share/valdrin")
        if not c.check(f"the daemon listens on 127.0.0.1:{port} as user valdrin", up,
                       f"{daemon.ended()}{hint}; stdout: {daemon.stdout().strip()[-800:]!r}; "
                       f"stderr: {daemon.stderr().strip()[-800:]!r}"):
            raise Fatal("the daemon does not serve")
        c.check("READY=1 reaches the notification socket once it listens",
                wait_until(lambda: notify.has_after("READY=1"), 5),
                f"received {notify.lines()}")

        status, body = get(f"http://127.0.0.1:{origin_port}/page")
        c.check("curl browses the loopback origin through the proxy",
                status == 200 and body == ORIGIN_BODY, f"status {status}, body {body[:200]!r}")
        status, body = get(f"http://localhost:{origin_port}/banner.gif")
        c.check("localhost is not an ad host yet: the origin answers",
                status == 200 and body == ORIGIN_BODY, f"status {status}, body {body[:200]!r}")
        status, body = get(f"http://127.0.0.1:{origin_port}/page", source="127.0.0.2")
        c.check("127.0.0.2 is refused with 403 before the reload", status == 403,
                f"status {status}, body {body[:200]!r}")
        c.check("the refusal is logged in /var/log/valdrin/log.txt as user valdrin",
                wait_until(lambda: os.path.exists(f"{LOG_DIR}/log.txt") and "127.0.0.2" in
                           open(f"{LOG_DIR}/log.txt", errors="replace").read(), 5),
                f"{LOG_DIR}: {os.listdir(LOG_DIR)}")

        tunnel = Tunnel(port, echo.server_address[1])
        c.check("CONNECT to the loopback echo server opens a tunnel", " 200" in tunnel.status,
                tunnel.status)
        tunnel.start()
        wait_until(lambda: tunnel.echoed >= 64 * 1024 or tunnel.error is not None, 10)

        with open(ADHOSTS, "a") as f:
            f.write("localhost\n")
        set_key(CONF, "Main", "AllowedHost0", "127.0.0.2")
        before = tunnel.echoed
        daemon.signal(signal.SIGHUP)
        c.check("RELOADING=1 then READY=1 reach the notification socket on SIGHUP",
                wait_until(lambda: notify.has_after("READY=1", after="RELOADING=1")
                           or not daemon.alive(), 10) and notify.has_after("READY=1", after="RELOADING=1"),
                f"received {notify.lines()}; daemon {daemon.ended()}")
        c.check("the daemon survives SIGHUP", daemon.alive(),
                f"{daemon.ended()} (SIGHUP is not handled: its default action ends the process)")
        reloaded = f"valdrin_proxy: configuration reloaded from {CONF}"
        c.check("the reload is reported on stdout",
                wait_until(lambda: reloaded in daemon.stdout(), 5),
                f"no line '{reloaded}'; stdout: {daemon.stdout().strip()[-800:]}")
        wait_until(lambda: tunnel.echoed >= before + 64 * 1024 or tunnel.error is not None, 10)
        c.check("the tunnel carries data byte for byte across the reload",
                tunnel.error is None and tunnel.echoed > before,
                f"{tunnel.error or 'no data moved'}; {before} bytes before the reload, "
                f"{tunnel.echoed} in all; daemon {daemon.ended()}")

        with open(IMAGE, "rb") as f:
            image = f.read()
        status, body = get(f"http://localhost:{origin_port}/banner.gif")
        c.check("after the reload localhost is an ad host: answered with valdrin.sys",
                status == 200 and body == image, f"status {status}, body {body[:200]!r}")
        status, body = get(f"http://127.0.0.1:{origin_port}/page", source="127.0.0.2")
        c.check("after the reload 127.0.0.2 is allowed",
                status == 200 and body == ORIGIN_BODY, f"status {status}, body {body[:200]!r}")

        set_key(CONF, "HTTP", "HTTPMaxClients", "abc")
        err_before = len(daemon.stderr())
        out_before = len(daemon.stdout())
        # systemctl reload: the unit checks the file before it signals.
        ok, said = unit_reload(unit, daemon.proc.pid)
        c.check("the unit's reload fails on the broken file, naming its line and key",
                not ok and re.search(re.escape(CONF) + r":\d+: invalid HTTPMaxClients 'abc' in section HTTP", said)
                and "the proxy would refuse it" in said, f"ExecReload said: {said.strip()[-800:]!r}")
        c.check("a reload the unit refused never reaches the daemon",
                daemon.alive() and "reload" not in daemon.stdout()[out_before:] + daemon.stderr()[err_before:],
                f"daemon {daemon.ended()}; stdout since: {daemon.stdout()[out_before:]!r}")
        daemon.signal(signal.SIGHUP)
        failed = re.compile(r"valdrin_proxy: reload of " + re.escape(CONF) +
                            r" failed \((.*)\); the running configuration is kept")

        def reload_failure():
            return failed.search(daemon.stderr()[err_before:])
        # The server's diagnostic line names the key; the daemon's own line
        # the file, and that nothing changed.
        c.check("a broken reload is reported on stderr, naming HTTPMaxClients",
                wait_until(lambda: reload_failure() is not None or not daemon.alive(), 10)
                and reload_failure() is not None
                and "invalid HTTPMaxClients 'abc' in section HTTP" in daemon.stderr()[err_before:],
                f"stderr since: {daemon.stderr()[err_before:].strip()[-800:]!r}; daemon {daemon.ended()}")
        status, body = get(f"http://127.0.0.1:{origin_port}/page", source="127.0.0.2")
        c.check("after a broken reload the running configuration still serves",
                status == 200 and body == ORIGIN_BODY, f"status {status}; daemon {daemon.ended()}")
        tunnel.finish()
        c.check("the tunnel was never broken", tunnel.error is None, f"{tunnel.error}")
        set_key(CONF, "HTTP", "HTTPMaxClients", "2000")
        reloads = daemon.stdout().count(reloaded)
        ok, said = unit_reload(unit, daemon.proc.pid)
        c.check("the unit's reload passes the mended file on to the daemon",
                ok and wait_until(lambda: daemon.stdout().count(reloaded) > reloads or not daemon.alive(), 10)
                and daemon.stdout().count(reloaded) > reloads,
                f"ExecReload said: {said.strip()[-800:]!r}; daemon {daemon.ended()}")

        wizard_apply(c, source, unit, daemon, get, origin_port, reloaded)

        if not daemon.alive():
            # The stop is checked on a daemon of its own, so that an earlier
            # failure does not hide whether SIGTERM works.
            print(f"      the daemon {daemon.ended()}; starting another for the stop check", flush=True)
            daemon = Daemon(argv, umask, notify, folder, port)
            daemons.append(daemon)
            if not wait_until(lambda: daemon.listening() or not daemon.alive(), 15) or not daemon.alive():
                raise Fatal(f"the second daemon does not listen: {daemon.ended()}")
        count = len(notify.lines())
        daemon.signal(signal.SIGTERM)
        try:
            daemon.proc.wait(15)
        except subprocess.TimeoutExpired:
            pass
        c.check("SIGTERM ends the daemon with status 0", daemon.proc.returncode == 0,
                daemon.ended())
        c.check("STOPPING=1 reaches the notification socket on SIGTERM",
                "STOPPING=1" in notify.lines()[count:], f"received {notify.lines()[count:]}")
    finally:
        for d in daemons:
            d.stop()
        notify.close()
        origin.shutdown()
        echo.shutdown()


def wizard_apply(c, source, unit, daemon, get, origin_port, reloaded):
    """The installed wizard under Xvfb: an allowed host and the access log
    set, then Apply, which has the daemon check the file and the service
    manager reload the service. A stand-in for the manager on a private bus
    runs the unit's ExecReload lines, as systemd would."""
    missing = [p for p in ("xvfb-run", "xdotool", "dbus-daemon", "setpriv") if shutil.which(p) is None]
    if run(["/usr/bin/python3", "-c", "import dbus, gi"], 30).returncode != 0:
        missing.append("python3-dbus python3-gi")
    if missing:
        print(f"      the installed wizard's Apply is not tried: {', '.join(missing)} missing", flush=True)
        return
    access_log = f"{LOG_DIR}/wizard-access.log"
    bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                           stdout=subprocess.PIPE, text=True)
    manager = None
    try:
        address = bus.stdout.readline().strip()
        manager = subprocess.Popen(["/usr/bin/python3", os.path.join(source, "tests/package/fake_systemd.py"),
                                    address, unit, str(daemon.proc.pid)], stdout=subprocess.PIPE, text=True)
        if not c.check("a stand-in service manager runs on a private bus",
                       address and manager.stdout.readline().strip() == "ready", f"bus address {address!r}"):
            return
        reloads = daemon.stdout().count(reloaded)
        drive = run(["xvfb-run", "-a", "-s", "-screen 0 1024x768x24", "/bin/bash",
                     os.path.join(source, "tests/integration/drive_wizard.sh"), "/usr/bin/valdrin_config",
                     "127.0.0.3", access_log], 240, env=dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=address))
        c.check("the installed wizard's Apply ends in 'Configuration saved'",
                drive.returncode == 0 and drive.stdout.strip() == "Configuration saved",
                f"exit {drive.returncode}: {drive.stdout.strip()!r} {drive.stderr.strip()[-800:]!r}")
        with open(CONF) as f:
            conf = f.read()
        c.check("the wizard wrote both settings to the file",
                "=127.0.0.3\n" in conf and f"AccessLog={access_log}\n" in conf, conf[-1200:])
        c.check("Apply reloaded the service through the service manager",
                wait_until(lambda: daemon.stdout().count(reloaded) > reloads, 10),
                f"stdout: {daemon.stdout().strip()[-600:]!r}")
        status, body = get(f"http://127.0.0.1:{origin_port}/page", source="127.0.0.3")
        c.check("after the wizard's Apply 127.0.0.3 is allowed",
                status == 200 and body == ORIGIN_BODY, f"status {status}, body {body[:200]!r}")
        c.check("after the wizard's Apply requests go to its access log",
                wait_until(lambda: os.path.exists(access_log) and "127.0.0.3" in open(access_log).read(), 10),
                f"{LOG_DIR}: {os.listdir(LOG_DIR)}")
    finally:
        for p in (manager, bus):
            if p is not None:
                p.kill()
                p.wait(15)


def known_packages():
    """The packages dpkg knows, installed or with configuration left."""
    known = []
    for p in PACKAGES:
        r = run(["dpkg-query", "-W", "-f=${db:Status-Abbrev}", p], 30)
        if r.returncode == 0 and r.stdout[:2] in ("ii", "rc", "iU", "iF", "iH", "rH"):
            known.append(p)
    return known


def purge(c, reached_install):
    # apt-get refuses the whole command when it names a local package that
    # it no longer knows, so only those dpkg still has are named.
    known = known_packages()
    r = None
    if known:
        r = run(["apt-get", "purge", "-y", "-q"] + known, 300,
                env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
    if not reached_install:
        return
    c.check("both packages were installed up to the purge", known == list(PACKAGES),
            f"dpkg knew only {known}")
    if r is None:
        return
    c.check("apt-get purge removes both packages", r.returncode == 0,
            f"exit {r.returncode}: {r.stderr.strip()[-1500:]}")
    for package in PACKAGES:
        c.check(f"dpkg -L {package} fails after the purge",
                run(["dpkg", "-L", package], 30).returncode != 0, "the package is still known")
    left = [p for p in ("/etc/valdrin", LOG_DIR, "/usr/sbin/valdrin_proxy",
                        "/usr/share/valdrin", "/lib/systemd/system/valdrin-proxy.service",
                        "/etc/logrotate.d/valdrin-proxy",
                        "/etc/systemd/system/multi-user.target.wants/valdrin-proxy.service")
            if os.path.lexists(p)]
    c.check("nothing of the packages is left after the purge", not left, f"left: {left}")


def main():
    if len(sys.argv) != 2:
        print("usage: package_test.py SOURCE_DIR", file=sys.stderr)
        return 2
    reason = skip_reason()
    if reason:
        print(f"skipped: {reason}")
        return SKIP
    source = os.path.abspath(sys.argv[1])
    # A termination or Ctrl-C ends the run through the purge below.
    def interrupted(sig, frame):
        raise Fatal(f"interrupted by signal {sig}")
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, interrupted)

    started = time.monotonic()
    c = Checks()
    folder = tempfile.mkdtemp(prefix="valdrin-package.")
    os.chmod(folder, 0o755)
    installed = False
    try:
        try:
            build_and_install(c, source, folder)
            installed = True
            unit = "/lib/systemd/system/valdrin-proxy.service"
            check_layout(c)
            check_unit(c, unit)
            if os.path.isdir("/run/systemd/system"):
                # A real service manager started the service on install.
                run(["systemctl", "stop", "valdrin-proxy"], 60)
            exercise_daemon(c, folder, unit, source)
        except Fatal as e:
            c.check("the run goes to its end", False, str(e))
        except (OSError, subprocess.TimeoutExpired) as e:
            c.check("the run goes to its end", False, f"{type(e).__name__}: {e}")
        finally:
            purge(c, installed)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print(f"package test took {time.monotonic() - started:.0f} s")
    print(f"{c.passed} passed, {len(c.failed)} failed")
    return 0 if not c.failed else 1


if __name__ == "__main__":
    sys.exit(main())
