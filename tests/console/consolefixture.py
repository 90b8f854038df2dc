"""A zorhostd with its web console on a loopback port and a temporary root
copied from the demo root, with two console users (admin and operator, both
with password secret)."""
import functools
import http.client
import http.cookiejar
import json
import os
import shutil
import socket
import ssl
import subprocess
import tempfile
import time
import urllib.error
import urllib.request

SOURCE = os.path.dirname(os.path.abspath(__file__))
DEMO = os.path.normpath(os.path.join(SOURCE, "..", "..", "demo", "root"))
KEYS = "/zor/public/system/monitor/"
# The tests' certificates are made on the spot and signed by nobody.
UNVERIFIED = ssl._create_unverified_context()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Console:
    def __init__(self, zorhostd, extra=(), tls=False, prepare=None):
        """prepare(root), when given, changes the copied root before zorhostd starts."""
        self.tmp = tempfile.mkdtemp(prefix="zorconsole-")
        self.root = os.path.join(self.tmp, "root")
        shutil.copytree(DEMO, self.root)
        if prepare:
            prepare(self.root)
        digest = subprocess.run(["mkpasswd", "-m", "yescrypt", "secret"], check=True, capture_output=True,
                                text=True).stdout.strip()
        with open(os.path.join(self.root, "etc/configs/monitor/console.users"), "w") as f:
            f.write("admin:%s\noperator:%s\n" % (digest, digest))
        self.port = free_port()
        self.base = "%s://127.0.0.1:%d" % ("https" if tls else "http", self.port)
        if tls:
            cert, key = os.path.join(self.tmp, "cert.pem"), os.path.join(self.tmp, "key.pem")
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                            "/CN=localhost", "-keyout", key, "-out", cert], check=True, capture_output=True)
            extra = ["--tls-cert", cert, "--tls-key", key, *extra]
        self.log = os.path.join(self.tmp, "zorhostd.log")
        self.proc = subprocess.Popen([zorhostd, "--foreground", "--root", self.root, "--socket",
                                      os.path.join(self.tmp, "sock"), "--http", "127.0.0.1:%d" % self.port,
                                      "--log", self.log, "--lock-wait", "0",
                                      # the demo days are old: keep them
                                      "--keep-logs", "100000", *extra],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(300):
            try:
                urllib.request.urlopen(self.base + "/login", timeout=5, context=UNVERIFIED).read()
                return
            except OSError:
                if self.proc.poll() is not None:
                    raise RuntimeError("zorhostd ended: " + open(self.log).read())
                time.sleep(0.1)
        raise RuntimeError("the console did not answer")

    def close(self):
        self.proc.terminate()
        rc = self.proc.wait(timeout=60)
        shutil.rmtree(self.tmp, ignore_errors=True)
        return rc


class _FromAddress(urllib.request.HTTPHandler):
    """Plain HTTP from another loopback address (127.0.0.0/8 is all local)."""

    def __init__(self, source):
        super().__init__()
        self.source = source

    def http_open(self, req):
        return self.do_open(functools.partial(http.client.HTTPConnection, source_address=(self.source, 0)), req)


class Client:
    """A JSON API client with its own cookie jar, optionally connecting from
    another loopback address."""

    def __init__(self, base, source=None):
        self.base = base
        self.cookies = http.cookiejar.CookieJar()
        handlers = [urllib.request.HTTPCookieProcessor(self.cookies), urllib.request.HTTPSHandler(context=UNVERIFIED)]
        if source:
            handlers.append(_FromAddress(source))
        self.opener = urllib.request.build_opener(*handlers)
        self.csrf = None

    def call(self, method, path, body=None, csrf=True):
        """body: an object sent as JSON, or a str sent as a form."""
        if isinstance(body, str):
            data = body.encode()
        else:
            data = None if body is None else json.dumps(body).encode()
        req = urllib.request.Request(self.base + path, data=data, method=method)
        if csrf and self.csrf:
            req.add_header("X-CSRF-Token", self.csrf)
        try:
            with self.opener.open(req, timeout=60) as res:
                return res.status, res.read().decode()
        except urllib.error.HTTPError as e:
            return e.code, e.read().decode()

    def login(self, user="admin", password="secret"):
        status, text = self.call("POST", "/api/login", {"user": user, "password": password}, csrf=False)
        if status == 200:
            self.csrf = json.loads(text)["csrf"]
        return status
