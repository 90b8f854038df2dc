"""The console in a real browser (headless Chromium through Selenium): log
in, add an entry from a preset through the form, commit, draw a demo day,
show hostile names as text, refuse a wrong password, silence a firing alert
from the Alerts page, and save a screenshot of each page."""
import os
import re
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from browserfixture import BrowserTest  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import Select  # noqa: E402

# How long the thread gets to make its alert fire on a slow machine, not how
# quickly it has to.
DEADLINE = 180
FIRING_CFG = """<?xml version="1.0" encoding="UTF-8"?>
<monitor-config>
  <monitor-entry variable="tank-pressure" log="false">
    <frequency><seconds>1</seconds></frequency>
    <action-trigger value-type="instantaneous" permanent="false">
      <single-value comparison="greater-than" value="500"/>
      <action max-frequency="3600"><log/></action>
    </action-trigger>
  </monitor-entry>
</monitor-config>
"""


def firing_root(root):
    """The root's only entry samples a file variable holding 900 every second,
    against a trigger at 500."""
    monitor = os.path.join(root, "etc/configs/monitor")
    with open(os.path.join(monitor, "variables.conf"), "a") as f:
        f.write("tank-pressure  file  /var/lib/demo/tank-pressure\n")
    with open(os.path.join(root, "var/lib/demo/tank-pressure"), "w") as f:
        f.write("900\n")
    with open(os.path.join(monitor, "Monitor.cfg"), "w") as f:
        f.write(FIRING_CFG)


class ConsoleInBrowser(BrowserTest):
    PREPARE = {"test_alerts": firing_root}

    def test_console(self):
        b = self.browser
        self.open("/login")
        self.shot("login")
        self.login("secret")
        self.assertIn("Variables", b.page_source)
        self.shot("overview")

        # An entry from a preset, through the form: no XML typed.
        entries_before = self.config_text().count("<monitor-entry")
        self.open("/entries")
        form = b.find_element(By.ID, "add-entry")
        picker = Select(form.find_element(By.NAME, "preset"))
        picker.select_by_index(next(i for i, o in enumerate(picker.options) if "disk" in o.text or "root" in o.text))
        self.click(form.find_element(By.ID, "add"))
        self.assertIn("added", self.text("#flash"))
        self.click(b.find_element(By.ID, "commit"))
        self.assertIn("Committed", self.text("#flash"))
        self.assertEqual(self.config_text().count("<monitor-entry"), entries_before + 1)

        # Entry 0's schedule changed through its edit form keeps its triggers.
        self.open("/entries")
        row = b.find_elements(By.CSS_SELECTOR, "tr.entry")[0]
        triggers = len(row.find_elements(By.CSS_SELECTOR, "ol > li"))
        self.open("/entries/0")
        form = b.find_element(By.ID, "entry-form")
        seconds = form.find_element(By.NAME, "seconds")
        seconds.clear()
        seconds.send_keys("120")
        self.click(form.find_element(By.CSS_SELECTOR, "button[value=set-entry]"))
        self.assertIn("saved", self.text("#flash"))
        self.open("/entries")
        row = b.find_elements(By.CSS_SELECTOR, "tr.entry")[0]
        self.assertIn("every 120 s", row.text)
        self.assertEqual(len(row.find_elements(By.CSS_SELECTOR, "ol > li")), triggers)

        # A hostile variable name is shown as text and never runs.
        self.open("/entries")
        form = b.find_element(By.ID, "add-entry")
        form.find_element(By.ID, "variable").send_keys("<script>window.zorRan=1</script>")
        self.click(form.find_element(By.ID, "add"))
        # No variable of that name: refused at the field, the name shown as typed.
        self.assertIn("<script>window.zorRan=1</script>", self.text(".problem[data-field=variable]"))
        self.assertEqual(b.find_element(By.ID, "variable").get_attribute("value"), "<script>window.zorRan=1</script>")
        self.assertIsNone(b.execute_script("return window.zorRan"))
        self.shot("entries")

        # The graph of a demo day has one point per sample of the log.
        with open(os.path.join(self.console.root, "var/log/monitor/d20240301.log")) as f:
            samples = len(re.findall(r" sample .*\bload-average=", f.read()))
        self.open("/graph?var=load-average&day=d20240301")
        self.assertEqual(len(b.find_elements(By.CSS_SELECTOR, "#graph circle.pt")), samples)
        self.shot("graph")

        self.open("/logs")
        self.shot("logs")
        self.open("/logs?name=d20240304&filter=sample")
        self.assertIn("2024-03-04 00:00:00 sample", self.text("#log"))
        self.shot("log")
        self.open("/try?var=load-average&day=d20240301&run=1&t_kind=single-value&t_valuetype=instantaneous"
                  "&t_permanent=1&t_comparison=greater-than&t_value=0.45&t_maxfreq=3600&t_log=1")
        self.assertIn("would have acted", self.text("#summary"))
        self.assertTrue(b.find_elements(By.CSS_SELECTOR, "#graph circle.suppressed"))
        self.shot("try")

        # Log out; a wrong password is refused, and then the address is held back.
        self.click(b.find_element(By.CSS_SELECTOR, "header form button"))
        for _ in range(5):
            self.login("wrong")
            self.assertIn("Wrong name or password", self.text("#message"))
        self.login("secret")
        self.assertIn("Too many failed logins", self.text("#message"))

    def test_alerts(self):
        b = self.browser
        self.login("secret")
        self.assertTrue(b.find_elements(By.CSS_SELECTOR, "header a[href='/alerts']"))
        deadline = time.monotonic() + DEADLINE
        while True:
            self.open("/alerts")
            rows = [r for r in b.find_elements(By.CSS_SELECTOR, "#firing tr.alert") if "tank-pressure" in r.text]
            if rows or time.monotonic() > deadline:
                break
            time.sleep(1)
        self.assertTrue(rows, b.page_source)
        form = rows[0].find_element(By.CSS_SELECTOR, "form.silence")
        Select(form.find_element(By.NAME, "for")).select_by_visible_text("4h")
        form.find_element(By.NAME, "comment").send_keys("pump swap")
        self.click(form.find_element(By.CSS_SELECTOR, "button[value=silence]"))
        self.assertIn("silence s1", self.text("#flash"))
        silences = b.find_elements(By.CSS_SELECTOR, "#silences tr.silence")
        self.assertEqual(len(silences), 1)
        self.assertIn("s1", silences[0].text)
        self.assertIn("pump swap", silences[0].text)
        self.assertIn("admin", silences[0].text)
        self.assertIn("silenced by s1", self.text("#firing td.notes"))
        self.shot("alerts")


if __name__ == "__main__":
    unittest.main()
