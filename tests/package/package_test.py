#!/usr/bin/python3
"""The Debian package as built by scripts/package: its layout, its conffiles
and unit, and the programs it holds run from a throw-away root (the package
unpacked with dpkg-deb -x, never installed on this machine): zorhostd serves
zorhost --connect and the console.

    tests/package/package_test.py build-deb/zorhost_VERSION_ARCH.deb
"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "console"))
from consolefixture import Client, free_port  # noqa: E402

DEB = None
MULTIARCH = subprocess.run(["dpkg-architecture", "-qDEB_HOST_MULTIARCH"], check=True, capture_output=True,
                           text=True).stdout.strip()


def run(*args, **kw):
    return subprocess.run(args, check=True, capture_output=True, text=True, **kw).stdout


class Layout(unittest.TestCase):
    def test_files_conffiles_and_scripts(self):
        listing = {}
        for line in run("dpkg-deb", "-c", DEB).splitlines():
            name = line.split(None, 5)[5].split(" -> ")
            listing[name[0].lstrip(".")] = name[1] if len(name) > 1 else line[0]
        pkgdir = "/usr/lib/%s/zorhost/" % MULTIARCH
        # The commands on the PATH are links into the private folder, where
        # the programs find the module beside themselves.
        for link, program in (("/usr/bin/zorhost", "zorhost"), ("/usr/bin/zorinfo", "zorinfo"),
                              ("/usr/sbin/zorhostd", "zorhostd")):
            self.assertEqual(os.path.normpath(os.path.join(os.path.dirname(link), listing[link])), pkgdir + program)
            self.assertEqual(listing[pkgdir + program], "-")
        for path in (pkgdir + "libmonitor.so", "/lib/systemd/system/zorhostd.service",
                     "/usr/share/man/man8/zorhostd.8.gz", "/usr/share/man/man1/zorhost.1.gz",
                     "/usr/share/snmp/mibs/ZOR-MONITOR-MIB.txt", "/etc/configs/monitor/PresetTriggers.cfg",
                     "/usr/share/doc/zorhost/examples/50-zorhost-poweroff.rules"):
            self.assertIn(path, listing)
        self.assertFalse([p for p in listing if p.startswith(("/var/", "/run/", "/usr/libexec"))])

        control = tempfile.mkdtemp()
        try:
            run("dpkg-deb", "-e", DEB, control)
            with open(os.path.join(control, "conffiles")) as f:
                conffiles = set(f.read().split())
            self.assertLessEqual({"/etc/configs/monitor/Monitor.cfg", "/etc/configs/monitor/PresetTriggers.cfg",
                                  "/etc/configs/monitor/alerting.conf", "/etc/default/zorhostd"}, conffiles)
            with open(os.path.join(control, "postinst")) as f:
                postinst = f.read()
            self.assertIn("adduser --system --group", postinst)
            self.assertIn("deb-systemd-helper", postinst)  # enabled and started
            with open(os.path.join(control, "postrm")) as f:
                self.assertIn("rm -rf /var/lib/zorhost /var/log/monitor", f.read())
        finally:
            shutil.rmtree(control)


class Unpacked(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="zorpackage-")
        self.root = os.path.join(self.tmp, "root")
        run("dpkg-deb", "-x", DEB, self.root)
        os.makedirs(os.path.join(self.root, "var/log/monitor"))
        digest = run("mkpasswd", "-m", "yescrypt", "secret").strip()
        with open(os.path.join(self.root, "etc/configs/monitor/console.users"), "w") as f:
            f.write("admin:%s\n" % digest)
        self.sock = os.path.join(self.tmp, "sock")
        self.port = free_port()
        self.daemon = subprocess.Popen(
            [os.path.join(self.root, "usr/sbin/zorhostd"), "--foreground", "--root", self.root, "--socket",
             self.sock, "--http", "127.0.0.1:%d" % self.port, "--log", os.path.join(self.tmp, "zorhostd.log"),
             "--lock-wait", "0"], stdin=subprocess.DEVNULL)

    def tearDown(self):
        self.daemon.terminate()
        self.assertEqual(self.daemon.wait(timeout=120), 0)
        shutil.rmtree(self.tmp)

    def test_serves_a_session_and_the_console(self):
        client = Client("http://127.0.0.1:%d" % self.port)
        for _ in range(300):
            try:
                status = client.login()
                break
            except OSError:
                self.assertIsNone(self.daemon.poll(), "zorhostd ended")
                subprocess.run(["sleep", "0.1"])
        self.assertEqual(status, 200)
        shown = run(os.path.join(self.root, "usr/bin/zorhost"), "--connect", self.sock, "show")
        self.assertEqual([line.split()[0] for line in shown.splitlines()], ["0", "1"])
        self.assertIn('variable="root-free-space"', shown)
        status, page = client.call("GET", "/entries")
        self.assertEqual(status, 200)
        self.assertIn("root-free-space", page)


if __name__ == "__main__":
    DEB = sys.argv.pop(1)
    unittest.main()
