"""A headless Chromium driven over the DevTools protocol, for tests of the tear sheet as a
reader's browser shows it (the system's chromium; websocket-client speaks the protocol).

    with Browser(width=1280) as browser:
        page = browser.open("file:///.../tear_sheet.html")
        page.evaluate("document.title")
        page.click("table.sortable thead th:nth-child(2)")
        page.errors          # console errors and uncaught exceptions so far
"""

import json
import os
import queue
import re
import shutil
import subprocess
import tempfile
import threading
import time

CHROMIUM_NAMES = ("chromium", "chromium-browser", "google-chrome", "chrome")


def find_chromium():
    for name in CHROMIUM_NAMES:
        path = shutil.which(name)
        if path:
            return path
    return None


class BrowserError(RuntimeError):
    pass


class Page:
    def __init__(self, browser, session):
        self.browser, self.session = browser, session
        self.errors = []

    def send(self, method, **params):
        return self.browser.send(method, params, session=self.session)

    def evaluate(self, expression):
        """The value of a JavaScript expression in the page (promises awaited)."""
        result = self.send("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in result:
            raise BrowserError("{} raised {}".format(expression, result["exceptionDetails"]))
        return result["result"].get("value")

    def click(self, selector):
        """A real mouse click (pressed and released) in the middle of the element."""
        box = self.evaluate("""(() => {{ const e = document.querySelector({0});
            e.scrollIntoView({{block: "center", inline: "center"}});
            const r = e.getBoundingClientRect(); return [r.left + r.width / 2, r.top + r.height / 2]; }})()
            """.format(json.dumps(selector)))
        for kind in ("mousePressed", "mouseReleased"):
            self.send("Input.dispatchMouseEvent", type=kind, x=box[0], y=box[1], button="left", clickCount=1)

    def _event(self, message):
        method, params = message.get("method"), message.get("params", {})
        if method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
            self.errors.append("console: " + " ".join(str(a.get("value", a.get("description")))
                                                      for a in params.get("args", [])))
        elif method == "Runtime.exceptionThrown":
            self.errors.append("exception: {}".format(params["exceptionDetails"]))
        elif method == "Log.entryAdded" and params["entry"].get("level") == "error":
            self.errors.append("log: {}".format(params["entry"].get("text")))


class Browser:
    """A headless Chromium of its own (own profile folder), closed on exit."""

    def __init__(self, width=1280, height=900, timeout=60):
        self.width, self.height, self.timeout = width, height, timeout
        self._id = 0
        self._pages = {}
        self._load_fired = set()

    def __enter__(self):
        import websocket

        chromium = find_chromium()
        if chromium is None:
            raise BrowserError("no Chromium found (apt-get install chromium)")
        self._profile = tempfile.mkdtemp(prefix="sigmora-chromium-")
        args = [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                "--no-default-browser-check", "--disable-extensions", "--remote-debugging-port=0",
                "--remote-allow-origins=*", "--user-data-dir=" + self._profile,
                "--window-size={},{}".format(self.width, self.height), "about:blank"]
        # The browser runs without what the test process may preload (a sanitizer runtime).
        env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
        self._process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=env)
        lines = queue.Queue()
        threading.Thread(target=lambda: [lines.put(line) for line in self._process.stderr], daemon=True).start()
        deadline = time.monotonic() + self.timeout
        url = None
        while url is None and time.monotonic() < deadline and self._process.poll() is None:
            try:
                found = re.search(r"DevTools listening on (ws://\S+)", lines.get(timeout=1))
            except queue.Empty:
                continue
            url = found.group(1) if found else None
        if url is None:
            self.__exit__(None, None, None)
            raise BrowserError("Chromium did not start within {} s".format(self.timeout))
        self._socket = websocket.create_connection(url, timeout=self.timeout, suppress_origin=True)
        return self

    def __exit__(self, *exc):
        try:
            if getattr(self, "_socket", None) is not None:
                try:
                    self.send("Browser.close", {})
                except Exception:  # noqa: BLE001 - closing anyway
                    pass
                self._socket.close()
        finally:
            try:
                self._process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
            shutil.rmtree(self._profile, ignore_errors=True)

    def send(self, method, params, session=None):
        self._id += 1
        message = {"id": self._id, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        self._socket.send(json.dumps(message))
        while True:
            reply = self._receive()
            if reply.get("id") == self._id:
                if "error" in reply:
                    raise BrowserError("{}: {}".format(method, reply["error"]))
                return reply.get("result", {})

    def _receive(self):
        message = json.loads(self._socket.recv())
        if "method" in message:
            session = message.get("sessionId")
            if message["method"] == "Page.loadEventFired":
                self._load_fired.add(session)
            if session in self._pages:
                self._pages[session]._event(message)
        return message

    def open(self, url):
        """A new page showing ``url``, once its load event fired."""
        target = self.send("Target.createTarget", {"url": "about:blank"})["targetId"]
        session = self.send("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        page = self._pages[session] = Page(self, session)
        for domain in ("Page", "Runtime", "Log"):
            page.send(domain + ".enable")
        page.send("Emulation.setDeviceMetricsOverride", width=self.width, height=self.height, deviceScaleFactor=1,
                  mobile=False)
        self._load_fired.discard(session)
        page.send("Page.navigate", url=url)
        deadline = time.monotonic() + self.timeout
        while session not in self._load_fired:
            if time.monotonic() > deadline:
                raise BrowserError("{} did not load within {} s".format(url, self.timeout))
            self._receive()
        return page


def file_url(path):
    return "file://" + os.path.abspath(path)
