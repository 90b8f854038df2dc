"""The diff in words and the audit trail in a real browser (headless Chromium
through Selenium): change a threshold, see it in words on the Diff page,
commit, find the commit with its user on the History page, log out, and find
a failed login in audit.log."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from browserfixture import BrowserTest  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402



class HistoryInBrowser(BrowserTest):
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
