"""The Entries page in a real browser (headless Chromium through Selenium), as
a new administrator uses it: a threshold that is no number and an address
that is none are refused at their fields, a commit of a configuration with
problems is refused with the list, a delete asks first, Discard brings the
committed entries back, and a table of 2,000 entries pages, searches and
filters. Without a browser: the first page of 100,000 entries stays small."""
import json
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from browserfixture import ZORHOSTD, BrowserTest  # noqa: E402
from consolefixture import Client, Console  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import Select  # noqa: E402


ENTRY = """  <monitor-entry variable="%s" log="true">
    <frequency><seconds>60</seconds></frequency>
    <action-trigger value-type="instantaneous" permanent="false">
      <single-value comparison="greater-than" value="%s"/>
      <action max-frequency="0">%s</action>
    </action-trigger>
  </monitor-entry>
"""


def write_table(root, count, bad=False):
    """A Monitor.cfg of count entries, every third on root-free-space with a
    trap, the others on cpu with a log; with bad, the first one's threshold
    is no number (the module's reader takes it all the same)."""
    with open(os.path.join(root, "etc/configs/monitor/Monitor.cfg"), "w") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n<monitor-config>\n')
        for i in range(count):
            disk = i % 3 == 0
            value = "lots" if bad and i == 0 else str(90 + i)
            f.write(ENTRY % ("root-free-space" if disk else "cpu", value, "<trap/>" if disk else "<log/>"))
        f.write("</monitor-config>\n")


class EntriesInBrowser(BrowserTest):
    PREPARE = {"test_paging": lambda root: write_table(root, 2000),
               "test_commit_refused": lambda root: write_table(root, 3, bad=True)}

    def setUp(self):
        super().setUp()
        self.login()

    def variables(self):
        return [e.text for e in self.browser.find_elements(By.CSS_SELECTOR, "#entries td.variable a")]

    def test_checks_at_the_fields(self):
        b = self.browser
        committed = self.config_text()
        self.open("/entries/0")
        form = b.find_element(By.ID, "add-trigger-form")
        Select(form.find_element(By.NAME, "t_comparison")).select_by_visible_text("greater-than")
        form.find_element(By.NAME, "t_value").send_keys("five hundred MiB")
        form.find_element(By.NAME, "t_emails").send_keys("not an address")
        self.click(form.find_element(By.ID, "add-trigger"))
        form = b.find_element(By.ID, "add-trigger-form")
        # Each message beside its field, the values as typed.
        self.assertIn("is not a number", form.find_element(By.CSS_SELECTOR, ".problem[data-field=t_value]").text)
        self.assertIn("not an address", form.find_element(By.CSS_SELECTOR, ".problem[data-field=t_emails]").text)
        self.assertEqual(form.find_element(By.NAME, "t_value").get_attribute("value"), "five hundred MiB")
        self.shot("entries-refused")
        self.assertIn("No uncommitted edits", self.text("#edits"))

        # A schedule form shows only its kind's fields; a field of another kind is not judged.
        form = b.find_element(By.ID, "entry-form")
        Select(form.find_element(By.NAME, "schedule")).select_by_visible_text("daily")
        self.assertFalse(form.find_element(By.NAME, "seconds").is_displayed())
        self.assertTrue(form.find_element(By.NAME, "hour").is_displayed())
        self.click(form.find_element(By.ID, "save-entry"))
        self.assertIn("Entry 0 (load-average) saved.", self.text("#flash"))
        self.assertIn("admin 1", self.text("#edits"))
        self.assertEqual(self.config_text(), committed)

    def test_commit_refused(self):
        b = self.browser
        committed = self.config_text()
        self.open("/entries/1")
        self.click(b.find_element(By.ID, "save-entry"))
        self.open("/entries")
        self.click(b.find_element(By.ID, "commit"))
        self.assertIn("Nothing was committed", self.text("#refused"))
        problems = [li.text for li in b.find_elements(By.CSS_SELECTOR, "#problems li")]
        self.assertEqual(len(problems), 1, problems)
        self.assertIn("entry 0", problems[0])
        self.assertIn('value="lots" is not a number', problems[0])
        self.assertEqual(self.config_text(), committed)

    def test_delete_asks_and_discard_restores(self):
        b = self.browser
        committed = self.config_text()
        self.open("/entries")
        before = self.variables()
        index = before.index("root-free-space")
        row = b.find_elements(By.CSS_SELECTOR, "#entries tr.entry")[index]
        self.click(row.find_element(By.CSS_SELECTOR, "button[value=del-entry]"))
        self.assertRegex(self.text("#question"), r"^Delete entry %d, root-free-space, and its \d+ triggers?\?$" % index)
        self.click(b.find_element(By.ID, "confirm"))
        self.assertIn("Entry %d (root-free-space) deleted; entries below it moved up one." % index, self.text("#flash"))
        self.assertEqual(self.variables(), before[:index] + before[index + 1:])

        self.click(b.find_element(By.ID, "discard"))
        self.assertIn("admin (1 edit)", self.text("#question"))
        self.click(b.find_element(By.ID, "confirm"))
        self.assertIn("Discarded", self.text("#flash"))
        self.assertEqual(self.variables(), before)
        self.assertIn("No uncommitted edits", self.text("#edits"))
        self.assertEqual(self.config_text(), committed)

    def test_paging(self):
        b = self.browser
        self.open("/entries")
        self.assertEqual(len(self.variables()), 50)
        self.assertIn("Entries 1–50 of 2000.", self.text("p.pager"))
        self.click(b.find_element(By.CSS_SELECTOR, "a[rel=next]"))
        self.assertIn("Entries 51–100 of 2000.", self.text("p.pager"))
        self.assertEqual(b.find_elements(By.CSS_SELECTOR, "#entries tr.entry td")[0].text, "50")
        form = b.find_element(By.ID, "search")
        form.find_element(By.NAME, "q").send_keys("FREE")
        Select(form.find_element(By.NAME, "action")).select_by_visible_text("trap")
        self.click(form.find_element(By.TAG_NAME, "button"))
        self.assertIn("of 667 that match", self.text("p.pager"))
        self.assertEqual(set(self.variables()), {"root-free-space"})
        self.open("/entries?action=log&limit=10&offset=1320")
        self.assertIn("Entries 1321–1330 of 1333 that match.", self.text("p.pager"))
        self.shot("entries-paged")


class LargeTable(unittest.TestCase):
    def test_first_page_of_a_hundred_thousand_entries(self):
        console = Console(ZORHOSTD, prepare=lambda root: write_table(root, 100000))
        try:
            client = Client(console.base)
            self.assertEqual(client.login(), 200)
            status, page = client.call("GET", "/entries")
            self.assertEqual(status, 200)
            self.assertIn("of 100000.", page)
            self.assertLess(len(page.encode()), 100 * 1024)
            status, text = client.call("GET", "/api/entries?limit=20&offset=99990")
            reply = json.loads(text)
            self.assertEqual((status, reply["total"], len(reply["entries"]), reply["entries"][0]["index"]),
                             (200, 100000, 10, 99990))
        finally:
            self.assertEqual(console.close(), 0)


if __name__ == "__main__":
    unittest.main()
