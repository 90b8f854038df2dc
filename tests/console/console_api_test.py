"""The console's JSON API and /metrics through a real zorhostd, without a
browser: the options that set the login caps, the failed-login limit and who
may read the metrics, edits through the module, commit, try, TLS, and the
metrics read by Prometheus's own parser. Which requests the routes refuse is
checked without a server by console_routes_test.cpp."""
import json
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from consolefixture import KEYS, Client, Console  # noqa: E402
from prometheus_client.parser import text_string_to_metric_families  # noqa: E402

ZORHOSTD = os.environ["ZORHOSTD"]
TRIGGER = ('<action-trigger value-type="instantaneous" permanent="false"><single-value comparison="greater-than" '
           'value="0.45"/><action max-frequency="3600"><log/></action></action-trigger>')


class ConsoleApi(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.console = Console(ZORHOSTD)

    @classmethod
    def tearDownClass(cls):
        assert cls.console.close() == 0

    def test_edit_commit_and_try(self):
        client = Client(self.console.base)
        self.assertEqual(client.login(), 200)
        status, text = client.call("POST", "/api/request",
                                   {"op": "add", "key": KEYS + "config/action-trigger/0/", "value": "0/" + TRIGGER})
        self.assertEqual(status, 200, text)
        self.assertEqual(json.loads(text)["result"], 0)
        self.assertEqual(len(json.loads(client.call("GET", "/api/diff")[1])["diff"]["changed"]), 1)
        status, text = client.call("POST", "/api/commit")
        self.assertEqual(status, 200, text)
        with open(os.path.join(self.console.root, "etc/configs/monitor/Monitor.cfg")) as f:
            self.assertIn('value="0.45"', f.read())
        # The trigger, made permanent, over a demo day of samples every half
        # hour: every sample above 0.45 fires, the repeat limit of an hour
        # holds some of them back.
        permanent = TRIGGER.replace('permanent="false"', 'permanent="true"')
        status, text = client.call("POST", "/api/try", {"day": "d20240301", "variable": "load-average",
                                                        "trigger": permanent})
        self.assertEqual(status, 200, text)
        result = json.loads(text)
        self.assertEqual(result["samples"], 48)
        self.assertGreater(result["fired"], 0)
        self.assertGreater(result["suppressed"], 0)

    def test_a_malformed_document_breaks_no_one(self):
        entry = KEYS + "config/monitor-entry/"
        truncated = {"op": "add", "key": entry, "value": '<monitor-entry variable="x" log="false"><frequency/>'}
        valid = {"op": "add", "key": entry, "value": '<monitor-entry variable="cpu" log="false"><frequency/></monitor-entry>'}
        client = Client(self.console.base)
        self.assertEqual(client.login(), 200)
        # The console's own check refuses it before the module sees it.
        status, text = client.call("POST", "/api/request", truncated)
        self.assertEqual(status, 422)
        self.assertTrue(json.loads(text)["problems"])
        self.assertEqual(json.loads(client.call("POST", "/api/request", valid)[1])["result"], 0)
        status, page = client.call("POST", "/entries", "do=add-entry&variable=cpu&csrf=" + client.csrf, csrf=False)
        self.assertEqual(status, 200)
        self.assertIn("(cpu) added.", page)
        zorhost = os.path.join(os.path.dirname(ZORHOSTD), "zorhost")
        run = subprocess.run([zorhost, "--connect", os.path.join(self.console.tmp, "sock"), "--script", "-"],
                             input="add %s %s\n" % (entry, valid["value"]), capture_output=True, text=True)
        self.assertIn("result: 0", run.stderr)

        # Should a document fail in the module anyway, the console says so and what to do.
        os.environ["ZORHOSTD_SKIP_VALUE_CHECK_FOR_TEST"] = "1"
        try:
            unchecked = Console(ZORHOSTD)
        finally:
            del os.environ["ZORHOSTD_SKIP_VALUE_CHECK_FOR_TEST"]
        try:
            client = Client(unchecked.base)
            self.assertEqual(client.login(), 200)
            run = subprocess.run([zorhost, "--connect", os.path.join(unchecked.tmp, "sock"), "--script", "-"],
                                 input="add %s %s\n" % (entry, truncated["value"]), capture_output=True, text=True)
            self.assertIn("result: -6", run.stderr)
            self.assertIn("Commit the edits you have", json.loads(client.call("POST", "/api/request", valid)[1])["error"])
            self.assertIn('id="parser-problem"', client.call("GET", "/")[1])
            metrics = {f.name: f for f in text_string_to_metric_families(client.call("GET", "/metrics")[1])}
            self.assertEqual(metrics["zor_module_xml_parser_ok"].samples[0].value, 0)
        finally:
            unchecked.close()

    def test_wrong_password_is_limited(self):
        # From an address of its own, so that the other cases still log in.
        client = Client(self.console.base, source="127.0.0.3")
        self.assertEqual([client.login(password="wrong") for _ in range(6)], [403] * 5 + [429])
        # While limited, even the right password is refused; but only that
        # name from that address is held back.
        self.assertEqual(client.login(), 429)
        self.assertEqual(Client(self.console.base, source="127.0.0.3").login(user="operator"), 200)
        self.assertEqual(Client(self.console.base).login(), 200)

    def test_logins_are_capped_and_open_the_module_when_used(self):
        capped = Console(ZORHOSTD, ["--console-logins", "4", "--console-logins-per-user", "3"])
        try:
            def console_sessions():
                text = Client(capped.base).call("GET", "/metrics")[1]
                family = next(f for f in text_string_to_metric_families(text) if f.name == "zor_sessions_open")
                return next(s.value for s in family.samples if s.labels["client"] == "console")

            admins = [Client(capped.base) for _ in range(3)]
            self.assertEqual([a.login() for a in admins], [200] * 3)
            status, text = Client(capped.base).call("POST", "/api/login", {"user": "admin", "password": "secret"})
            self.assertEqual(status, 429)
            self.assertIn("too many logins for this user", json.loads(text)["error"])
            operators = [Client(capped.base) for _ in range(2)]
            self.assertEqual(operators[0].login(user="operator"), 200)
            status, text = operators[1].call("POST", "/api/login", {"user": "operator", "password": "secret"})
            self.assertEqual(status, 503)
            self.assertIn("logins open, the most it serves", json.loads(text)["error"])
            # Four logins, no module session until one is used.
            self.assertEqual(console_sessions(), 0)
            self.assertEqual(admins[0].call("GET", "/api/entries")[0], 200)
            self.assertEqual(console_sessions(), 1)
            # Logging out closes the module session and frees the place.
            self.assertEqual(admins[0].call("POST", "/api/logout")[0], 200)
            self.assertEqual(admins[0].call("GET", "/api/entries")[0], 401)
            self.assertEqual(console_sessions(), 0)
            self.assertEqual(operators[1].login(user="operator"), 200)
        finally:
            capped.close()

    def test_metrics(self):
        status, text = Client(self.console.base).call("GET", "/metrics")
        self.assertEqual(status, 200)
        families = {f.name: f for f in text_string_to_metric_families(text)}
        for name in ("zor_monitor_samples", "zor_sessions_open", "zor_monitor_alerts"):
            self.assertIn(name, families)
        self.assertEqual({s.labels["action"] for s in families["zor_monitor_actions_failed"].samples},
                         {"log", "email", "udp", "trap", "shutdown", "power-off-drive"})
        self.assertIn("uptime", {s.labels["variable"] for s in families["zor_variable_value"].samples})
        self.assertGreater(families["zor_monitor_config_last_load_timestamp_seconds"].samples[0].value, 0)

    def test_tls_and_metrics_outside_the_allowed_ranges(self):
        secure = Console(ZORHOSTD, ["--metrics-allow", "10.9.9.0/24"], tls=True)
        try:
            self.assertEqual(Client(secure.base).call("GET", "/metrics")[0], 403)
            client = Client(secure.base)
            self.assertEqual(client.login(), 200)
            cookie = next(c for c in client.cookies if c.name == "zorconsole")
            self.assertTrue(cookie.secure)
            self.assertTrue(cookie.has_nonstandard_attr("HttpOnly"))
            self.assertEqual(client.call("GET", "/api/entries")[0], 200)
            self.assertEqual(client.call("GET", "/metrics")[0], 200)
            # Plain HTTP on the TLS port gets no page.
            with self.assertRaises(OSError):
                Client(secure.base.replace("https", "http")).call("GET", "/login")
        finally:
            secure.close()


if __name__ == "__main__":
    unittest.main()
