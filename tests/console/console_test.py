#!/usr/bin/env python3
"""The web console in a real browser (headless chromium driven by selenium).

    console_test.py VQFLOW_BINARY BUILD_DIR

Starts `vqflow serve` on a free port with a throw-away SQLite store, imports a
playbook that waits at an audit node, and walks the console through it: the
waiting run is listed on the landing page, the run's records show an
app's HTML-like result as text, the approval is given on the Approvals page
while another tab watches the run close live, and a timer is added, resumed
and paused. A second server with a token then asks for it once and takes it
on the WebSocket too. Screenshots of every page go to BUILD_DIR/console-screenshots.

Exits 77 (skipped) only when chromium, its driver or selenium is not
installed (scripts/install-deps.sh installs them).
"""
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import urllib.request

SKIP = 77
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
DRIVER = shutil.which("chromedriver") or (
    "/usr/bin/chromedriver" if os.path.exists("/usr/bin/chromedriver") else None)

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support import expected_conditions as ec
    from selenium.webdriver.support.ui import Select, WebDriverWait
except ImportError:
    webdriver = None

# A result an attacker controls: shown as text, it must never become markup.
HOSTILE = '<img src=x onerror="window.__vqflow_xss=1">'
WAIT = 30


def playbook():
    cells = []

    def node(node_id, name):
        cells.append({"shape": "html", "id": node_id, "data": {"name": name}})

    def edge(source, target):
        cells.append({"shape": "vqEdge", "source": {"cell": source}, "target": {"cell": target}})

    for node_id, name in [("S", "开始"), ("A", "echo hostile"), ("U", "approve?"),
                          ("B", "after approval"), ("E", "结束"), ("X", "stray")]:
        node(node_id, name)
    # X is reached by no edge: the checks warn about it, and the graph marks it.
    for source, target in [("S", "A"), ("A", "U"), ("U", "B"), ("B", "E")]:
        edge(source, target)
    return {
        "uuid": "console-pb",
        "name": "console check",
        "remarks": "waits for an approval",
        "start_app": "S",
        "end_app": "E",
        "audit_list": ["U"],
        "flow_json": {"cells": cells},
        "flow_data": {
            "A": {"app_dir": "vq_text",
                  "data": {"node_name": "echo hostile", "action": "strip", "text": HOSTILE}},
            "B": {"app_dir": "vq_noop", "data": {"node_name": "after approval", "action": "run"}},
        },
        "controller_data": {"U": {"node_name": "approve?", "text": "console"}},
        "local_var_data": [],
    }


def get(url):
    with urllib.request.urlopen(url, timeout=5) as response:
        return response.status, response.headers, response.read().decode("utf-8")


class Serve:
    """`vqflow serve` on a port of the system's choice; its log kept in memory."""

    def __init__(self, binary, db, work, *extra):
        self.lines = []
        self.port = None
        self.listening = threading.Event()
        self.process = subprocess.Popen(
            [binary, "--db", db, "serve", "--listen", "127.0.0.1:0", *extra],
            cwd=work, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
            errors="replace")
        threading.Thread(target=self._read, daemon=True).start()
        if not self.listening.wait(WAIT) or self.port is None:
            self.stop()
            raise SystemExit("vqflow serve did not start listening:\n" + self.log())

    def _read(self):
        for line in self.process.stdout:
            self.lines.append(line)
            found = re.search(r"listening on \S*:(\d+) ", line)
            if found:
                self.port = int(found.group(1))
                self.listening.set()
        self.listening.set()  # it exited

    def log(self):
        return "".join(self.lines)[-6000:]

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def check_page_is_self_contained(url):
    status, headers, page = get(url + "/")
    assert status == 200 and headers["Content-Type"].startswith("text/html"), headers
    for ref in re.findall(r"""(?:src|href)\s*=\s*["']?([^"'\s>]+)""", page, re.I):
        assert not re.match(r"(?:https?:)?//", ref), f"external resource in the page: {ref}"
    assert "script-src 'self'" in headers["Content-Security-Policy"], headers


class Console:
    def __init__(self, driver, url, shots):
        self.driver = driver
        self.url = url
        self.shots = shots
        self.wait = WebDriverWait(driver, WAIT)

    def open(self, fragment=""):
        self.driver.get(self.url + "/" + fragment)

    def nav(self, name):
        self.driver.find_element(By.LINK_TEXT, name).click()

    def shot(self, name):
        self.driver.save_screenshot(os.path.join(self.shots, name + ".png"))

    def row(self, css):
        return self.wait.until(ec.presence_of_element_located((By.CSS_SELECTOR, css)))

    def until(self, what, condition):
        try:
            return self.wait.until(lambda d: condition())
        except Exception as e:
            raise AssertionError(f"waiting for {what}: {e!r}") from None


def walk_console(console, url):
    d = console.driver
    # Start the run from the playbook's page.
    console.open("#/playbooks")
    console.row("#playbook-search").send_keys("console")
    d.find_element(By.LINK_TEXT, "console check").click()
    console.row('svg.graph g.node.finding-warning[data-node="X"]')
    assert "no route from the start node" in d.find_element(By.CSS_SELECTOR, "ul.findings").text
    # Nodes are reachable and chosen with the keyboard.
    audit = console.row("svg.graph g.node.kind-audit")
    assert audit.get_attribute("tabindex") == "0"
    d.execute_script("arguments[0].focus()", audit)
    audit.send_keys(Keys.ENTER)
    console.until("the audit node's settings", lambda: "audit (approval)" in d.find_element(
        By.CSS_SELECTOR, "aside.panel").text)
    assert '"text": "console"' in d.find_element(By.CSS_SELECTOR, "aside.panel pre").text
    console.shot("playbook")
    d.find_element(By.ID, "start-run").click()
    console.until("the run page", lambda: d.current_url.split("#")[-1].startswith("/runs/"))
    only_id = d.current_url.split("#/runs/")[-1]
    console.until("the waiting state",
                  lambda: d.find_element(By.ID, "run-state-text").text == "waiting")
    # The hostile result is in the records as text, and nothing ran from it.
    console.until("the hostile record",
                  lambda: HOSTILE in d.find_element(By.ID, "records-body").text)
    assert not d.find_elements(By.CSS_SELECTOR, "#records-body img"), "a result became markup"
    assert d.execute_script("return window.__vqflow_xss === undefined"), "a result ran script"
    console.shot("run-waiting")

    # The landing page lists the waiting run without any click.
    console.open()
    console.until("the waiting run on the landing page",
                  lambda: only_id in d.find_element(By.TAG_NAME, "body").text)
    console.row(f'#runs-body tr[data-run="{only_id}"][data-state="waiting"]')
    Select(d.find_element(By.ID, "run-state")).select_by_value("waiting")
    console.row(f'#runs-body tr[data-run="{only_id}"]')
    console.shot("runs")

    # A second tab watches the run; the first approves it.
    first = d.current_window_handle
    d.switch_to.new_window("tab")
    console.open(f"#/runs/{only_id}")
    console.until("the run page in the second tab",
                  lambda: d.find_element(By.ID, "run-state-text").text == "waiting")
    watcher = d.current_window_handle
    d.switch_to.window(first)
    console.nav("Approvals")
    row = console.row(f'#approvals-body tr[data-run="{only_id}"]')
    console.shot("approvals")
    row.find_element(By.CSS_SELECTOR, "button.approve").click()
    console.until("the approval to leave the list", lambda: not d.find_elements(
        By.CSS_SELECTOR, f'#approvals-body tr[data-run="{only_id}"]'))
    d.switch_to.window(watcher)
    console.until("the run to close", lambda: d.find_element(By.ID, "run-state-text").text == "done")
    console.row('svg.graph g.node.run-ok[data-node="B"]')
    assert "after approval" in d.find_element(By.ID, "records-body").text
    console.shot("run-done")
    d.close()
    d.switch_to.window(first)

    # A timer: previewed, added (paused), resumed, paused.
    console.nav("Timers")
    console.row("#timer-id").send_keys("nightly")
    console.row("#timer-crontab").send_keys("0 3 * * *")
    console.until("five preview fire times",
                  lambda: len(d.find_elements(By.CSS_SELECTOR, "#timer-preview li")) == 5)
    console.shot("timers-preview")
    d.find_element(By.ID, "add-timer").click()
    row = console.row('#timers-body tr[data-timer="nightly"][data-state="paused"]')
    row.find_element(By.CSS_SELECTOR, "button.resume").click()
    row = console.row('#timers-body tr[data-timer="nightly"][data-state="active"]')
    row.find_element(By.CSS_SELECTOR, "button.pause").click()
    console.row('#timers-body tr[data-timer="nightly"][data-state="paused"]')
    console.shot("timers")

    problems = [entry["message"] for entry in d.get_log("browser")
                if entry["level"] == "SEVERE"
                and ("Content Security Policy" in entry["message"] or "Uncaught" in entry["message"])]
    assert not problems, "browser errors:\n" + "\n".join(problems)


def walk_with_token(console, token):
    """A server with a token: the page asks for it once, then works as before."""
    d = console.driver
    console.open()
    console.row("#token").send_keys(token)
    d.find_element(By.CSS_SELECTOR, "form.token button[type=submit]").click()
    console.row("#runs-body tr[data-run]")
    console.shot("runs-with-token")
    # The WebSocket takes the token from the query (browsers cannot set its headers).
    opened = """
        const done = arguments[arguments.length - 1];
        const socket = new WebSocket(`ws://${location.host}/api/ws?access_token=${arguments[0]}`);
        socket.onopen = () => { socket.close(); done('open'); };
        socket.onerror = () => done('refused');
    """
    assert d.execute_async_script(opened, token) == "open"
    assert d.execute_async_script(opened, "wrong") == "refused"


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    binary, build_dir = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    missing = [name for name, found in [("chromium", CHROMIUM), ("chromedriver", DRIVER),
                                        ("python3-selenium", webdriver)] if not found]
    if missing:
        print(f"SKIPPED: {', '.join(missing)} not installed; "
              "scripts/install-deps.sh installs chromium chromium-driver python3-selenium")
        return SKIP
    shots = os.path.join(build_dir, "console-screenshots")
    os.makedirs(shots, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="vqflow-console-") as work:
        db = os.path.join(work, "console.db")
        with open(os.path.join(work, "playbook.json"), "w", encoding="utf-8") as f:
            json.dump(playbook(), f, ensure_ascii=False)
        subprocess.run([binary, "--db", db, "import", os.path.join(work, "playbook.json")],
                       check=True, cwd=work)
        server = Serve(binary, db, work, "--timer-lock-seconds", "3")
        url = f"http://127.0.0.1:{server.port}"
        driver = None
        try:
            check_page_is_self_contained(url)
            options = webdriver.ChromeOptions()
            options.binary_location = CHROMIUM
            for arg in ["--headless=new", "--no-sandbox", "--disable-gpu",
                        "--disable-dev-shm-usage", "--window-size=1366,900"]:
                options.add_argument(arg)
            options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
            driver = webdriver.Chrome(service=Service(executable_path=DRIVER), options=options)
            walk_console(Console(driver, url, shots), url)
            token = "console-" + os.urandom(8).hex()
            with open(os.path.join(work, "token"), "w") as f:
                f.write(token + "\n")
            guarded = Serve(binary, db, work, "--token-file", os.path.join(work, "token"),
                            "--no-timers")
            try:
                walk_with_token(Console(driver, f"http://127.0.0.1:{guarded.port}", shots), token)
            except BaseException:
                sys.stderr.write("--- vqflow serve (token) log ---\n" + guarded.log())
                raise
            finally:
                guarded.stop()
        except BaseException:
            sys.stderr.write("--- vqflow serve log ---\n" + server.log())
            if driver is not None:
                driver.save_screenshot(os.path.join(shots, "failure.png"))
            raise
        finally:
            if driver is not None:
                driver.quit()
            server.stop()
    print(f"console checked in chromium; screenshots in {shots}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
