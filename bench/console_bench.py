#!/usr/bin/env python3
"""The web console and /metrics of an appliance with many entries.

Starts zorhostd with --http on a temporary root whose committed Monitor.cfg
holds --entries entries (100,000 by default; three triggers each, so one
alert per trigger), logs in, and prints one row per figure with its target
and whether it holds:

  the Entries page's first page            <= 50 ms
  /api/entries?limit=50                    <= 50 ms
  a search by variable (?q=), page and API  no target: it reads every
                                           entry of the store, one module
                                           request each
  /metrics                                 <= 200 ms
  zorhostd's VmRSS and VmHWM after them    <= 3x the size of Monitor.cfg

Each time is the median of --runs requests (after one that is not counted).

  console_bench.py --zorhostd build-bench/bin/zorhostd [--entries N] [--runs R]
"""
import argparse
import http.client
import json
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

SOURCE = os.path.dirname(os.path.abspath(__file__))
DEMO = os.path.normpath(os.path.join(SOURCE, "..", "demo", "root"))
VARIABLES = ["disk-temperature", "fan-speed", "cpu-load", "memory-available", "raid-rebuild", "psu-volts",
             "port-errors", "root-free-space"]
COMPARISONS = ["greater-than", "less-than", "equals", "not-equals"]
VALUE_TYPES = ["instantaneous", "average", "minimum", "maximum"]


def schedule(i):
    at = '<time-of-day hour="%d" min="%02d"/>' % (i % 24, i * 7 % 60)
    kind = i % 4
    if kind == 0:
        return "<asynchronous/>"
    if kind == 1:
        return "<seconds>%d</seconds>" % (30 + i % 600)
    if kind == 2:
        return '<daily every="%d">%s</daily>' % (1 + i % 3, at)
    days = ["sun", "mon", "tue", "wed", "thu", "fri", "sat"]
    return '<weekly every="%d" day-of-week="%s">%s</weekly>' % (1 + i % 2, days[i % 7], at)


def trigger(i, t, logged):
    k = i + t
    if k % 3 == 0:
        condition = '<single-value comparison="%s" value="%d"/>' % (COMPARISONS[(i // 3 + t) % 4],
                                                                    40 + (i * 13 + t) % 60)
    elif k % 3 == 1:
        condition = '<interval-value low-value="%d" high-value="%d" inside-outside-range="%s"/>' % (
            10 + i % 20, 50 + i % 40, "inside" if k % 2 == 0 else "outside")
    else:
        condition = "<value-changes/>"
    flags = i * 3 + t
    action = "".join("<email>ops%d@site%d.example.net</email>" % (a, i % 97) for a in range(k % 3))
    action += "<log/>" if flags & 4 else ""
    action += "<udp/>" if flags & 2 else ""
    action += "<trap/>" if flags & 1 else ""
    value_type = VALUE_TYPES[(i + 2 * t) % 4] if logged else "instantaneous"
    return ('<action-trigger value-type="%s" permanent="%s">%s<action max-frequency="%d">%s</action>'
            "</action-trigger>" % (value_type, "true" if k % 5 == 0 else "false", condition, k % 4 * 900, action))


def write_configuration(path, entries):
    """Monitor.cfg of `entries` entries whose variables no sampler knows, so
    that the daemon keeps every alert but reads nothing of this machine."""
    with open(path, "w") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n<monitor-config>\n')
        for i in range(entries):
            logged = i % 4 != 3
            f.write('  <monitor-entry variable="%s-%d" log="%s"><frequency>%s</frequency>%s</monitor-entry>\n' % (
                VARIABLES[i % len(VARIABLES)], i, "true" if logged else "false", schedule(i),
                "".join(trigger(i, t, logged) for t in range(3))))
        f.write("</monitor-config>\n")
    return os.path.getsize(path)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Http:
    """One keep-alive connection with the login's cookie."""

    def __init__(self, port):
        self.conn = http.client.HTTPConnection("127.0.0.1", port, timeout=300)
        self.cookie = None

    def get(self, path):
        headers = {"Cookie": self.cookie} if self.cookie else {}
        self.conn.request("GET", path, headers=headers)
        res = self.conn.getresponse()
        body = res.read()
        if res.status != 200:
            raise RuntimeError("%s answered %d: %s" % (path, res.status, body[:200]))
        return body

    def login(self):
        body = json.dumps({"user": "admin", "password": "secret"})
        self.conn.request("POST", "/api/login", body=body, headers={"Content-Type": "application/json"})
        res = self.conn.getresponse()
        res.read()
        if res.status != 200:
            raise RuntimeError("login answered %d" % res.status)
        self.cookie = res.getheader("Set-Cookie").split(";")[0]


def median_ms(client, path, runs):
    client.get(path)  # the first one may open the login's module session
    times = []
    size = 0
    for _ in range(runs):
        start = time.perf_counter()
        size = len(client.get(path))
        times.append((time.perf_counter() - start) * 1000)
    return statistics.median(times), size


def memory(pid):
    figures = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            name, _, value = line.partition(":")
            if name in ("VmRSS", "VmHWM"):
                figures[name] = int(value.split()[0]) * 1024
    return figures


def wait_loaded(client, entries, proc, log):
    """Until the monitor thread has taken up the whole table."""
    wanted = ("zor_monitor_entries %d" % entries).encode()
    for _ in range(3000):
        if proc.poll() is not None:
            raise RuntimeError("zorhostd ended: " + open(log).read()[-2000:])
        try:
            if wanted in client.get("/metrics").splitlines():
                return
        except (OSError, RuntimeError, http.client.HTTPException):
            client.conn.close()
        time.sleep(0.2)
    raise RuntimeError("the monitor thread did not take up the configuration")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--zorhostd", required=True)
    parser.add_argument("--entries", type=int, default=100000)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()

    tmp = tempfile.mkdtemp(prefix="zorconsolebench-")
    root = os.path.join(tmp, "root")
    shutil.copytree(DEMO, root)
    monitor = os.path.join(root, "etc/configs/monitor")
    file_size = write_configuration(os.path.join(monitor, "Monitor.cfg"), args.entries)
    digest = subprocess.run(["mkpasswd", "-m", "yescrypt", "secret"], check=True, capture_output=True,
                            text=True).stdout.strip()
    with open(os.path.join(monitor, "console.users"), "w") as f:
        f.write("admin:%s\n" % digest)
    port = free_port()
    log = os.path.join(tmp, "zorhostd.log")
    proc = subprocess.Popen([args.zorhostd, "--foreground", "--root", root, "--socket", os.path.join(tmp, "sock"),
                             "--http", "127.0.0.1:%d" % port, "--log", log, "--lock-wait", "0",
                             "--keep-logs", "100000"],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    rows = []
    try:
        client = Http(port)
        wait_loaded(client, args.entries, proc, log)
        client.login()
        q = "?q=%s-%d" % (VARIABLES[args.entries // 2 % len(VARIABLES)], args.entries // 2 // 10)
        for label, path, target in [
            ("Entries page, first page", "/entries", 50),
            ("/api/entries?limit=50", "/api/entries?limit=50", 50),
            ("Entries page, search " + q, "/entries" + q, None),
            ("/api/entries search " + q, "/api/entries" + q + "&limit=50", None),
            ("/metrics", "/metrics", 200),
        ]:
            ms, size = median_ms(client, path, args.runs)
            rows.append((label, "%.1f ms (%d KB)" % (ms, size // 1024),
                         "<= %d ms" % target if target else "-", target is None or ms <= target))
        mem = memory(proc.pid)
        for name in ("VmRSS", "VmHWM"):
            ratio = mem[name] / file_size
            rows.append(("zorhostd %s / Monitor.cfg (%d MB)" % (name, file_size >> 20),
                         "%.2f (%d MB)" % (ratio, mem[name] >> 20), "<= 3", ratio <= 3))
    finally:
        proc.terminate()
        try:
            proc.wait(timeout=120)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        shutil.rmtree(tmp, ignore_errors=True)

    print("console with %d entries, medians of %d requests (load %.2f)" % (args.entries, args.runs,
                                                                          os.getloadavg()[0]))
    width = max(len(r[0]) for r in rows)
    for label, figure, target, held in rows:
        verdict = "" if target == "-" else "met" if held else "NOT MET"
        print("%-*s  %-22s %-10s %s" % (width, label, figure, target, verdict))
    return 0 if all(r[3] for r in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
