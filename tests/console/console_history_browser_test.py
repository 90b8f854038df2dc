"""The diff in words and the audit trail in a real browser (headless Chromium
through Selenium): change a threshold, see it in words on the Diff page,
commit, find the commit with its user on the History page, log out, and find
a failed login in audit.log."""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from consolefixture import Console  # noqa: E402
from selenium import webdriver  # noqa: E402
from selenium.common.exceptions import WebDriverException  # noqa: E402
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

ZORHOSTD = os.environ["ZORHOSTD"]
OUTPUT = os.environ.get("CONSOLE_SCREENSHOTS", os.path.join(os.getcwd(), "console-screenshots"))


class HistoryInBrowser(unittest.TestCase):
    def setUp(self):
        self.console = Console(ZORHOSTD)
        options = webdriver.ChromeOptions()
        self.profile = tempfile.TemporaryDirectory(prefix="zorconsole-chromium-")
        for arg in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                    "--disable-background-networking", "--disable-component-update", "--disable-sync",
                    "--disable-dev-shm-usage", "--window-size=1200,900", "--user-data-dir=" + self.profile.name):
            options.add_argument(arg)
        options.binary_location = "/usr/bin/chromium"
        self.browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        self.browser.set_page_load_timeout(120)
        os.makedirs(OUTPUT, exist_ok=True)

    def tearDown(self):
        self.browser.quit()
        self.profile.cleanup()
        self.assertEqual(self.console.close(), 0)

    def open(self, path):
        self.browser.get(self.console.base + path)

    def shot(self, name):
        self.browser.save_screenshot(os.path.join(OUTPUT, name + ".png"))

    def click(self, element):
        """Clicks and waits until the page it leads to has loaded."""
        old = self.browser.find_element(By.TAG_NAME, "html")
        element.click()

        # The old page goes before the new one is whole: wait for both, or a
        # lookup can land in a document that is still being replaced. While
        # the page is swapped, the driver may report the old node as "not
        # belonging to the document" instead of stale: gone either way.
        def gone(_):
            try:
                old.is_enabled()
                return False
            except WebDriverException:
                return True

        WebDriverWait(self.browser, 120).until(gone)
        WebDriverWait(self.browser, 120).until(
            lambda b: b.execute_script("return document.readyState") == "complete")

    def text(self, css):
        return self.browser.find_element(By.CSS_SELECTOR, css).text

    def login(self, password):
        self.open("/login")
        self.browser.find_element(By.ID, "user").send_keys("admin")
        self.browser.find_element(By.ID, "password").send_keys(password)
        self.click(self.browser.find_element(By.ID, "login"))

    def test_diff_history_logout_and_audit(self):
        b = self.browser
        self.login("secret")
        self.assertTrue(b.find_elements(By.CSS_SELECTOR, "header a[href='/history']"))

        # Entry 0's first trigger gets a new threshold through its form.
        self.open("/entries")
        variable = b.find_element(By.CSS_SELECTOR, "#entries tr.entry td.variable").text.split(" ")[0]
        self.open("/entries/0")
        item = b.find_element(By.CSS_SELECTOR, "#triggers > li")
        value = item.find_element(By.NAME, "t_value")
        old = value.get_attribute("value")
        value.clear()
        value.send_keys("4321")
        self.click(item.find_element(By.CSS_SELECTOR, "button[value=set-trigger]"))
        self.assertEqual(self.text("#flash"), "Trigger 0 of entry 0 (%s) saved." % variable)

        words = "Entry 0 (%s): trigger 0 threshold %s \u2192 4321" % (variable, old)
        self.open("/diff")
        self.assertEqual(self.text("#diff-words li"), words)
        self.assertFalse(b.find_element(By.ID, "diff").is_displayed(), "the XML waits behind its toggle")
        self.shot("diff")

        self.open("/entries")
        self.click(b.find_element(By.ID, "commit"))
        self.assertIn("Committed", self.text("#flash"))
        self.open("/history")
        newest = b.find_elements(By.CSS_SELECTOR, "#history tr.commit")[0]
        self.assertEqual(newest.find_element(By.CSS_SELECTOR, ".user").text, "admin")
        self.assertIn(words, newest.text)
        self.shot("history")

        self.click(b.find_element(By.CSS_SELECTOR, "header form button"))
        self.assertEqual(self.text("#message"), "You are logged out.")
        self.login("wrong")
        with open(os.path.join(self.console.root, "var/log/monitor/audit.log")) as f:
            audit = f.read()
        self.assertRegex(audit, r"\n\S+ \S+ LOGIN-FAILED user=admin peer=\S+ wrong name or password\n")
        self.assertIn(" COMMIT user=admin ", audit)
        self.assertIn(" LOGOUT user=admin ", audit)


if __name__ == "__main__":
    unittest.main()
