"""An alert's whole life through a real zorhostd, the real mail sink and a real
alert manager: it fires (zorhost alerts, the manager lists it with its
labels), resolves (the resolved line, the resolved mail, gone from the
manager), is silenced (logged, nothing sent), and all of it is still there
after zorhostd restarts."""
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

SOURCE = os.path.dirname(os.path.abspath(__file__))
SINK = os.path.join(SOURCE, "..", "shared", "smtp", "smtp_sink.py")
ZORHOSTD = os.environ.get("ZORHOSTD", "")
ZORHOST = os.environ.get("ZORHOST", "")
MANAGER = os.environ.get("ALERTMANAGER", "/usr/bin/prometheus-alertmanager")
VARIABLE = "coolant-pressure"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def eventually(what, check, seconds=90):
    """Polls check() until it gives something true; fails naming what after a generous deadline."""
    deadline = time.monotonic() + seconds
    while True:
        got = check()
        if got:
            return got
        if time.monotonic() > deadline:
            raise AssertionError("still waiting for " + what)
        time.sleep(0.25)


class AlertLifeTest(unittest.TestCase):
    def setUp(self):
        if not os.access(MANAGER, os.X_OK):
            self.skipTest("prometheus-alertmanager is not installed")
        self.tmp = tempfile.mkdtemp(prefix="zoralerts-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.root = os.path.join(self.tmp, "root")
        self.work = os.path.join(self.root, "work")
        mon = os.path.join(self.root, "etc/configs/monitor")
        for folder in (mon, os.path.join(self.root, "var/log/monitor"), os.path.join(self.root, "data"),
                       os.path.join(self.tmp, "mail"), os.path.join(self.tmp, "am")):
            os.makedirs(folder, exist_ok=True)
        self.set_value(100)
        with open(os.path.join(mon, "variables.conf"), "w") as f:
            f.write("%s file /data/pressure\n" % VARIABLE)
        with open(os.path.join(mon, "Monitor.cfg"), "w") as f:
            f.write('<?xml version="1.0" encoding="UTF-8"?>\n<monitor-config>'
                    '<monitor-entry variable="%s" log="true"><frequency><seconds>1</seconds></frequency>'
                    '<action-trigger permanent="false"><single-value comparison="greater-than" value="500"/>'
                    '<action max-frequency="0"><email>ops@example.test</email><log/></action>'
                    '</action-trigger></monitor-entry></monitor-config>\n' % VARIABLE)
        # The real alert manager, on loopback, with its own storage.
        self.am_port = free_port()
        with open(os.path.join(self.tmp, "am.yml"), "w") as f:
            f.write('route: {receiver: "null"}\nreceivers: [{name: "null"}]\n')
        self.manager = subprocess.Popen(
            [MANAGER, "--config.file=" + os.path.join(self.tmp, "am.yml"),
             "--storage.path=" + os.path.join(self.tmp, "am"),
             "--web.listen-address=127.0.0.1:%d" % self.am_port, "--cluster.listen-address="],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(self.stop, self.manager)
        with open(os.path.join(mon, "alerting.conf"), "w") as f:
            f.write("alertmanager http://127.0.0.1:%d\nlabel site=test-dc\n" % self.am_port)
        # The mail sink; the notifier finds its server under the daemon's working directory.
        self.sink = subprocess.Popen(["/usr/bin/python3", SINK, os.path.join(self.tmp, "mail")],
                                     stdin=subprocess.PIPE)
        self.addCleanup(self.stop, self.sink)
        port = eventually("the mail sink", lambda: self.read(os.path.join(self.tmp, "mail", "port")))
        os.makedirs(os.path.join(self.work, "configs/etc/quorvane"))
        with open(os.path.join(self.work, "configs/etc/quorvane/smtp.conf"), "w") as f:
            f.write("'127.0.0.1'\n%s\n'monitor@example.test'\n" % port.strip())
        eventually("the alert manager", lambda: self.manager_alerts() is not None)
        self.socket = os.path.join(self.tmp, "sock")
        self.daemon = None
        self.start_daemon()

    @staticmethod
    def read(path):
        try:
            with open(path) as f:
                return f.read()
        except OSError:
            return ""

    @staticmethod
    def stop(proc):
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(30)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()

    def set_value(self, value):
        path = os.path.join(self.root, "data/pressure")
        with open(path + ".new", "w") as f:
            f.write("%d\n" % value)
        os.replace(path + ".new", path)  # in one step: never half a value

    def start_daemon(self):
        self.daemon = subprocess.Popen(
            [ZORHOSTD, "--foreground", "--root", self.root, "--socket", self.socket,
             "--log", os.path.join(self.tmp, "zorhostd.log"), "--lock-wait", "0", "--interval", "2"],
            cwd=self.work, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(self.stop, self.daemon)
        eventually("zorhostd's socket", lambda: os.path.exists(self.socket) or self.daemon.poll() is not None)
        self.assertIsNone(self.daemon.poll(), self.read(os.path.join(self.tmp, "zorhostd.log")))

    def zorhost(self, *words):
        run = subprocess.run([ZORHOST, "--connect", self.socket, *words], capture_output=True, text=True,
                             timeout=120)
        self.assertEqual(0, run.returncode, run.stderr)
        return run.stdout

    def alert(self):
        alerts = json.loads(self.zorhost("alerts", "--json"))["alerts"]
        return next((a for a in alerts if a["variable"] == VARIABLE), None)

    def manager_alerts(self):
        try:
            with urllib.request.urlopen("http://127.0.0.1:%d/api/v2/alerts" % self.am_port, timeout=10) as r:
                return [a for a in json.load(r) if a["labels"].get("variable") == VARIABLE]
        except OSError:
            return None

    def mails(self):
        folder = os.path.join(self.tmp, "mail")
        return [json.load(open(os.path.join(folder, n))) for n in sorted(os.listdir(folder)) if n.endswith(".json")]

    def log(self):
        folder = os.path.join(self.root, "var/log/monitor")
        return "".join(self.read(os.path.join(folder, n)) for n in sorted(os.listdir(folder)))

    def test_fires_resolves_is_silenced_and_survives_a_restart(self):
        name = VARIABLE + " exceeds 500"
        self.set_value(900)
        started = time.monotonic()
        eventually("the alert firing", lambda: (self.alert() or {}).get("state") == "firing")
        self.assertIn(name, self.zorhost("alerts"))
        listed = eventually("the manager listing the alert", self.manager_alerts)
        print("alert manager lists the alert %.1f s after the value went over" % (time.monotonic() - started))
        labels = listed[0]["labels"]
        self.assertEqual(name, labels["alertname"])
        self.assertEqual("exceeds 500", labels["condition"])
        self.assertEqual("test-dc", labels["site"])
        self.assertIn("appliance", labels)
        self.assertEqual("900", listed[0]["annotations"]["value"])
        eventually("the alert mail", lambda: any("Monitor alert: " in m["content"] for m in self.mails()))

        self.set_value(100)
        started = time.monotonic()
        eventually("the resolved line", lambda: "resolved %s=100 exceeds 500" % VARIABLE in self.log())
        eventually("the resolved mail",
                   lambda: any("Subject: Monitor resolved: %s=100 exceeds 500" % VARIABLE in m["content"]
                               for m in self.mails()))
        eventually("the manager dropping the alert", lambda: self.manager_alerts() == [])
        print("alert manager no longer lists it %.1f s after the value went back" % (time.monotonic() - started))
        self.assertEqual("resolved", self.alert()["state"])

        # Silenced: logged, nothing sent, nothing at the manager.
        self.assertIn("s1", self.zorhost("silence", "add", VARIABLE, "--for", "2h", "--comment", "pump swap"))
        mails = len(self.mails())
        self.set_value(950)
        eventually("the silenced alert line", lambda: "(silenced by s1)" in self.log())
        self.assertEqual("s1", self.alert()["silencedBy"])
        time.sleep(3)  # a few more samples: still nothing goes out
        self.assertEqual(mails, len(self.mails()))
        self.assertEqual([], self.manager_alerts())

        # A restart keeps the firing alert, its silence and who set it.
        self.stop(self.daemon)
        self.start_daemon()
        silences = json.loads(self.zorhost("silence", "list", "--json"))["silences"]
        self.assertEqual(["s1"], [s["id"] for s in silences])
        self.assertTrue(silences[0]["author"])
        after = self.alert()
        self.assertEqual("firing", after["state"])
        self.assertEqual("s1", after["silencedBy"])
        time.sleep(3)
        self.assertEqual(mails, len(self.mails()))


if __name__ == "__main__":
    if not ZORHOSTD or not ZORHOST:
        sys.exit("set ZORHOSTD and ZORHOST")
    unittest.main()
