"""The Graph page and the error pages in a real browser (headless Chromium
through Selenium): thirty samples of the last minutes drawn over 15 minutes
spread across the graph, on round ticks in the variable's unit, with the
trigger's threshold labelled and the alert marked; an unknown path shows a
page that says so."""
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from browserfixture import BrowserTest  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

# The only entry watches cpu without logging it, so the samples below stay
# the only ones; its trigger gives the threshold line.
CPU_CFG = """<?xml version="1.0" encoding="UTF-8"?>
<monitor-config>
  <monitor-entry variable="cpu" log="false">
    <frequency><seconds>3600</seconds></frequency>
    <action-trigger value-type="instantaneous" permanent="false">
      <single-value comparison="greater-than" value="90"/>
      <action max-frequency="3600"><log/></action>
    </action-trigger>
  </monitor-entry>
</monitor-config>
"""
# Started this long before now, a sample a second.
SAMPLES, AGO = 30, 240


def clock(t):
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(t))


def cpu_root(root):
    with open(os.path.join(root, "etc/configs/monitor/Monitor.cfg"), "w") as f:
        f.write(CPU_CFG)
    start = int(time.time()) - AGO
    for i in range(SAMPLES):
        t = start + i
        lines = ["%s sample cpu=%d\n" % (clock(t), 40 + (i * 7) % 45)]
        if i == 20:
            lines.append("%s alert cpu=%d exceeds 90 (test)\n" % (clock(t), 40 + (i * 7) % 45))
        with open(os.path.join(root, "var/log/monitor", time.strftime("d%Y%m%d.log", time.localtime(t))), "a") as f:
            f.writelines(lines)


class GraphInBrowser(BrowserTest):
    PREPARE = {"test_graph_and_error_pages": cpu_root}

    def test_graph_and_error_pages(self):
        b = self.browser
        # Before a login: an unknown path is a page that says what is missing.
        self.open("/no/such/page")
        self.assertIn("Not found", b.title)
        self.assertEqual(b.find_element(By.ID, "message").text, "no such path: /no/such/page")
        self.shot("not-found")

        self.open("/login")
        b.find_element(By.ID, "user").send_keys("admin")
        b.find_element(By.ID, "password").send_keys("secret")
        b.find_element(By.ID, "login").click()
        # The click returns before the overview has loaded.
        WebDriverWait(b, 120).until(lambda d: d.find_elements(By.CSS_SELECTOR, "header a[href='/graph']"))

        self.open("/graph?var=cpu&range=15m&day=" + time.strftime("d%Y%m%d", time.localtime(time.time() - AGO)))
        summary = b.find_element(By.ID, "summary").text
        self.assertIn("%d samples, 1 alert," % SAMPLES, summary)
        xs = [float(e.get_attribute("cx")) for e in b.find_elements(By.CSS_SELECTOR, "#graph circle.pt")]
        self.assertEqual(len(xs), SAMPLES)
        self.assertEqual(len(set(xs)), SAMPLES)
        self.assertGreater(max(xs) - min(xs), 20, xs)

        values = self.texts("#graph text.value-tick")
        self.assertGreater(len(values), 2, values)
        numbers = []
        for v in values:
            self.assertRegex(v, r"^-?\d+ %$")
            numbers.append(int(v.split()[0]))
        steps = {b2 - a for a, b2 in zip(numbers, numbers[1:])}
        self.assertEqual(len(steps), 1, numbers)
        step = abs(steps.pop())
        while step % 10 == 0:
            step //= 10
        self.assertIn(step, (1, 2, 5), numbers)
        times = self.texts("#graph text.time-tick")
        self.assertTrue(times)
        for t in times:
            self.assertRegex(t, r"^\d\d:\d[05]$")

        self.assertEqual(self.texts("#graph text.threshold-label"), ["exceeds 90 %"])
        marker = b.find_element(By.CSS_SELECTOR, "#graph circle.alert-marker")
        self.assertIn("alert cpu=", marker.find_element(By.TAG_NAME, "title").get_attribute("textContent"))
        self.shot("graph-15m")

        # An API path answers in JSON, with the method's refusal in Allow.
        self.open("/api/nowhere")
        self.assertIn('"error":"no such path: /api/nowhere"', b.find_element(By.TAG_NAME, "body").text)


if __name__ == "__main__":
    unittest.main()
