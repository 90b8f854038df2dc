"""A test case with a zorhostd console and a headless Chromium driven through
Selenium, and the few moves every browser test makes: open a path, click and
wait for the next page, read a text, log in, keep a screenshot."""
import os
import tempfile
import unittest

from consolefixture import Console
from selenium import webdriver
from selenium.common.exceptions import WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

ZORHOSTD = os.environ["ZORHOSTD"]
OUTPUT = os.environ.get("CONSOLE_SCREENSHOTS", os.path.join(os.getcwd(), "console-screenshots"))


class BrowserTest(unittest.TestCase):
    # A test's own root: test method name -> function(root) run before the start.
    PREPARE = {}

    def setUp(self):
        self.console = Console(ZORHOSTD, prepare=self.PREPARE.get(self._testMethodName))
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

    def texts(self, css):
        return [e.text for e in self.browser.find_elements(By.CSS_SELECTOR, css)]

    def login(self, password="secret"):
        self.open("/login")
        self.browser.find_element(By.ID, "user").send_keys("admin")
        self.browser.find_element(By.ID, "password").send_keys(password)
        self.click(self.browser.find_element(By.ID, "login"))

    def config_text(self):
        with open(os.path.join(self.console.root, "etc/configs/monitor/Monitor.cfg")) as f:
            return f.read()
