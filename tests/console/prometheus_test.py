"""A real Prometheus scraping a zorhostd: the guide's example configurations
pass Prometheus's and the alert manager's own checkers, and a Prometheus that
scrapes the console's /metrics sees a file variable's value and the alert its
trigger raises, through its query API."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import consolefixture  # noqa: E402
from consolefixture import SOURCE, Console, free_port  # noqa: E402

ZORHOSTD = os.environ["ZORHOSTD"]
TOOLS = {name: os.environ.get(name.upper(), "/usr/bin/" + name) for name in ("prometheus", "promtool", "amtool")}
EXAMPLES = os.path.normpath(os.path.join(SOURCE, "..", "..", "doc", "examples"))
# The machine may be slow: this is how long Prometheus gets to see a value,
# not how quickly it has to.
DEADLINE = 90

VARIABLE = "coolant-pressure"
MONITOR_CFG = """<?xml version="1.0" encoding="UTF-8"?>
<monitor-config>
  <monitor-entry variable="%s" log="false">
    <frequency>
      <seconds>1</seconds>
    </frequency>
    <action-trigger value-type="instantaneous" permanent="false">
      <single-value comparison="greater-than" value="500"/>
      <action max-frequency="3600">
        <log/>
      </action>
    </action-trigger>
  </monitor-entry>
</monitor-config>
""" % VARIABLE
PROMETHEUS_YML = """global:
  scrape_interval: 1s
scrape_configs:
  - job_name: zorhost
    metrics_path: /metrics
    scrape_interval: 1s
    static_configs:
      - targets: ['127.0.0.1:%d']
"""


def firing_root(root):
    """Makes the root's only entry sample a file variable holding 900 every
    second, against a trigger at 500."""
    monitor = os.path.join(root, "etc/configs/monitor")
    with open(os.path.join(monitor, "variables.conf"), "a") as f:
        f.write("%s  file  /var/lib/demo/%s\n" % (VARIABLE, VARIABLE))
    with open(os.path.join(root, "var/lib/demo", VARIABLE), "w") as f:
        f.write("900\n")
    with open(os.path.join(monitor, "Monitor.cfg"), "w") as f:
        f.write(MONITOR_CFG)


class Examples(unittest.TestCase):
    def check(self, *command):
        run = subprocess.run(command, cwd=EXAMPLES, capture_output=True, text=True)
        self.assertEqual(run.returncode, 0, "%s:\n%s%s" % (" ".join(command), run.stdout, run.stderr))

    def test_the_tools_take_the_examples(self):
        # check config reads the rule files the configuration names as well.
        self.check(TOOLS["promtool"], "check", "config", "prometheus.yml")
        self.check(TOOLS["promtool"], "check", "rules", "zorhost-rules.yml")
        self.check(TOOLS["amtool"], "check-config", "alertmanager.yml")


class Scrape(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="zorprometheus-")
        self.addCleanup(shutil.rmtree, self.tmp, ignore_errors=True)
        # The fixture copies the demo root and starts zorhostd on it at once:
        # it is given a demo root that fires instead.
        demo = os.path.join(self.tmp, "demo")
        shutil.copytree(consolefixture.DEMO, demo, symlinks=True)
        firing_root(demo)
        shipped, consolefixture.DEMO = consolefixture.DEMO, demo
        try:
            self.console = Console(ZORHOSTD)
        finally:
            consolefixture.DEMO = shipped
        self.addCleanup(self.console.close)
        config = os.path.join(self.tmp, "prometheus.yml")
        with open(config, "w") as f:
            f.write(PROMETHEUS_YML % self.console.port)
        self.base = "http://127.0.0.1:%d" % free_port()
        self.log = os.path.join(self.tmp, "prometheus.log")
        with open(self.log, "w") as log:
            self.prometheus = subprocess.Popen(
                [TOOLS["prometheus"], "--config.file", config, "--storage.tsdb.path", os.path.join(self.tmp, "data"),
                 "--web.listen-address", self.base[len("http://"):]],
                cwd=self.tmp, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        self.addCleanup(self.stop_prometheus)

    def stop_prometheus(self):
        self.prometheus.terminate()
        try:
            self.prometheus.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.prometheus.kill()
            self.prometheus.wait()

    def query(self, expr):
        """The instant vector of expr as {labels as a sorted tuple: value}, or
        None while Prometheus does not answer yet."""
        url = self.base + "/api/v1/query?" + urllib.parse.urlencode({"query": expr})
        try:
            with urllib.request.urlopen(url, timeout=30) as res:
                answer = json.loads(res.read().decode())
        except (OSError, ValueError):
            if self.prometheus.poll() is not None:
                with open(self.log) as f:
                    self.fail("prometheus ended:\n" + f.read())
            return None
        self.assertEqual(answer["status"], "success", answer)
        return {tuple(sorted(r["metric"].items())): float(r["value"][1]) for r in answer["data"]["result"]}

    def wait_for(self, expr, want):
        """Polls expr until it gives exactly one series of value want; the
        last answer goes into the failure message."""
        last = None
        end = time.monotonic() + DEADLINE
        while time.monotonic() < end:
            last = self.query(expr)
            if last and list(last.values()) == [want]:
                return next(iter(last))
            time.sleep(0.5)
        self.fail("%s did not give one series of %g within %d s; last answer: %r" % (expr, want, DEADLINE, last))

    def test_prometheus_sees_the_value_and_the_alert(self):
        self.wait_for('up{job="zorhost"}', 1)
        self.wait_for('zor_variable_value{variable="%s"}' % VARIABLE, 900)
        # The trigger has fired (its log action counted once): the state below
        # has an alert to show.
        self.wait_for('zor_monitor_alerts_total{variable="%s",action="log"}' % VARIABLE, 1)
        # 1 is firing (0 inactive, 2 silenced); the condition is the trigger's own description.
        labels = dict(self.wait_for('zor_monitor_alert_state{variable="%s"}' % VARIABLE, 1))
        self.assertEqual(labels["condition"], "exceeds 500")


if __name__ == "__main__":
    missing = [path for path in TOOLS.values() if not os.access(path, os.X_OK)]
    if missing:
        print("SKIP: not installed: " + ", ".join(missing))
        sys.exit(77)
    unittest.main()
