#!/usr/bin/env python3
"""The packaged application on a virtual display: real window, real web view, real services.

Run by CTest inside dbus-run-session and xvfb-run. Each test starts Taviro from a private copy of
the package with its own home and XDG folders, watches the web view's load trace and the
desktop log, and leaves screenshots in TAVIRO_TEST_OUTPUT.
"""
import json
import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

PACKAGE = os.environ["TAVIRO_PACKAGE_DIR"]
SCRIPTED_SERVICE = os.environ["TAVIRO_SCRIPTED_SERVICE"]
SCREEN_GRAB = os.environ["TAVIRO_SCREEN_GRAB"]
CLOSE_WINDOW = os.environ["TAVIRO_CLOSE_WINDOW"]
OUTPUT = os.environ.get("TAVIRO_TEST_OUTPUT", tempfile.gettempdir())

CONNECTING = "正在连接本地服务"
ERROR = "本地服务暂时没有连接上"
TIMEOUT_MESSAGE = "本地服务启动超时，正在继续自动重试。"
LAUNCH_LINES = [
    "desktop application launched",
    "activation policy configured",
    "menu built",
    "window built",
    "legacy launch agent disabled",
    "feature pack prepared revision=0",
    "prepared update state restored",
    "connectAndLoad scheduled",
]


def wait_for(predicate, timeout, interval=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    return predicate()


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    # A zombie that nobody reaped yet counts as ended.
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().split()[2] != "Z"
    except OSError:
        return False


class Shell:
    """One copy of the package, one home, one running application."""

    def __init__(self, test, service="reference", env=None):
        self.test = test
        self.root = tempfile.mkdtemp(prefix="taviro-e2e-")
        self.package = os.path.join(self.root, "Taviro.app")
        shutil.copytree(PACKAGE, self.package, symlinks=True)
        server = os.path.join(self.package, "Contents", "Resources", "server", "vorda-web-server", "vorda-web-server")
        if service is None:
            shutil.rmtree(os.path.dirname(os.path.dirname(server)))
        elif service == "scripted":
            shutil.copy(SCRIPTED_SERVICE, server)
            os.chmod(server, 0o755)
        self.home = os.path.join(self.root, "home")
        os.makedirs(self.home)
        self.trace = os.path.join(self.root, "webview-trace.txt")
        self.record = os.path.join(self.root, "service-starts.jsonl")
        self.env = dict(os.environ)
        self.env.update({
            "HOME": self.home,
            "XDG_DATA_HOME": os.path.join(self.root, "data"),
            "XDG_CONFIG_HOME": os.path.join(self.root, "config"),
            "XDG_CACHE_HOME": os.path.join(self.root, "cache"),
            "TAVIRO_WEBVIEW_TRACE": self.trace,
            "SCRIPTED_SERVICE_RECORD": self.record,
            "WEBKIT_DISABLE_COMPOSITING_MODE": "1",
        })
        self.env.update(env or {})
        self.process = None

    def start(self):
        self.started_at = time.monotonic()
        self.stdout = open(os.path.join(self.root, "taviro.out"), "w")
        self.process = subprocess.Popen([os.path.join(self.package, "Contents", "MacOS", "Taviro")],
                                        env=self.env, stdout=self.stdout, stderr=subprocess.STDOUT)
        return self

    # What the window showed, one entry per finished or failed load.
    def loads(self):
        try:
            with open(self.trace, encoding="utf-8") as trace:
                return [line.rstrip("\n") for line in trace if line.strip()]
        except FileNotFoundError:
            return []

    def finished(self):
        result = []
        for line in self.loads():
            if line.startswith("finished "):
                uri, _, heading = line[len("finished "):].partition("\t")
                result.append((uri, heading))
        return result

    def wait_for_heading(self, heading, timeout, after=0):
        return wait_for(lambda: any(h == heading for _, h in self.finished()[after:]), timeout)

    def wait_for_url(self, prefix, timeout, after=0):
        return wait_for(lambda: any(u.startswith(prefix) for u, _ in self.finished()[after:]), timeout)

    def log(self):
        path = os.path.join(self.home, ".ostrelin-video-web", "desktop-service.log")
        try:
            with open(path, encoding="utf-8") as log:
                # The shell's lines carry a time stamp; the service's own output is kept as written.
                return [line.rstrip("\n")[23:] if line.startswith("[") else line.rstrip("\n") for line in log]
        except FileNotFoundError:
            return []

    def starts(self):
        try:
            with open(self.record, encoding="utf-8") as record:
                entries = [json.loads(line) for line in record if line.strip()]
        except FileNotFoundError:
            return []
        return [entry for entry in entries if "pid" in entry]

    def terminated(self):
        try:
            with open(self.record, encoding="utf-8") as record:
                return [json.loads(line)["terminated"] for line in record if '"terminated"' in line]
        except FileNotFoundError:
            return []

    def port(self):
        for line in self.log():
            if line.startswith("ensuring local service on port "):
                return int(line.rsplit(" ", 1)[1])
        return None

    def service_pids(self):
        """Running processes of this copy's service."""
        out = subprocess.run(["pgrep", "-f", os.path.join(self.package, "Contents", "Resources", "server")],
                             capture_output=True, text=True).stdout
        return [int(pid) for pid in out.split()]

    def screenshot(self, name):
        os.makedirs(OUTPUT, exist_ok=True)
        subprocess.run([SCREEN_GRAB, os.path.join(OUTPUT, name + ".png")], check=False)

    def wait_exit(self, timeout=10):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def close(self):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            if self.wait_exit(10) is None:
                self.process.kill()
                self.process.wait()
        for pid in self.service_pids():
            os.kill(pid, signal.SIGKILL)
        for entry in self.starts():
            if alive(entry["pid"]):
                os.kill(entry["pid"], signal.SIGKILL)
        report = ""
        if self.process:
            self.stdout.close()
            report = read_text(os.path.join(self.root, "taviro.out"))
        if os.environ.get("TAVIRO_KEEP_E2E"):
            print("kept", self.root)
        else:
            shutil.rmtree(self.root, ignore_errors=True)
        # A sanitizer build reports memory errors on the shell's output.
        for marker in ("ERROR: AddressSanitizer", "runtime error:"):
            if marker in report:
                self.test.fail("the shell reported a memory error:\n" + report[-4000:])


class WindowedApp(unittest.TestCase):
    def shell(self, **kwargs):
        shell = Shell(self, **kwargs)
        self.addCleanup(shell.close)
        return shell

    def test_normal_launch_shows_connecting_then_service_page_and_quits_on_sigterm(self):
        shell = self.shell().start()
        self.assertTrue(shell.wait_for_heading("Taviro 参考本地服务", 30), shell.loads())
        finished = shell.finished()
        self.assertEqual(finished[0], ("about:blank", CONNECTING), finished)
        port = shell.port()
        self.assertEqual(finished[-1][0], f"http://127.0.0.1:{port}/")
        log = shell.log()
        launch = [line for line in log if not line.startswith("feature pack") or line.startswith("feature pack prepared")]
        self.assertEqual(launch[:len(LAUNCH_LINES)], LAUNCH_LINES, log)
        self.assertIn(f"bundled service launched on port {port}", log)
        # The service's own output lands in the same log.
        self.assertTrue(any(line.startswith("vorda-web-server") for line in log), log)
        time.sleep(0.5)
        shell.screenshot("service-page")

        pids = shell.service_pids()
        self.assertEqual(len(pids), 1, pids)
        shell.process.send_signal(signal.SIGTERM)
        self.assertEqual(shell.wait_exit(10), 0)
        self.assertTrue(wait_for(lambda: not alive(pids[0]), 10), "the service outlived the shell")
        self.assertTrue(wait_for(lambda: "vorda-web-server stopped" in shell.log(), 5), shell.log())

    def test_service_sees_its_environment(self):
        shell = self.shell(service="scripted", env={"SCRIPTED_SERVICE_MODE": "slow", "SCRIPTED_SERVICE_DELAY": "2"}).start()
        self.assertTrue(shell.wait_for_heading(CONNECTING, 20), shell.loads())
        time.sleep(0.5)
        shell.screenshot("connecting-page")
        self.assertTrue(shell.wait_for_heading("scripted service", 30), shell.loads())
        start = shell.starts()[0]
        env = start["env"]
        resources = os.path.join(shell.package, "Contents", "Resources")
        data_root = os.path.join(shell.home, ".ostrelin-video-web")
        self.assertEqual(start["cwd"], resources)
        self.assertTrue(env["PATH"].startswith(resources + "/bin:"), env["PATH"])
        self.assertEqual(env["VORDA_PORT"], str(shell.port()))
        self.assertEqual(env["VORDA_DATA_ROOT"], data_root)
        self.assertEqual(env["VORDA_PROJECT_ROOT"], data_root + "/projects")
        self.assertTrue(env["GENERATION_GATEWAY_URL"].startswith("https://"), env["GENERATION_GATEWAY_URL"])
        self.assertRegex(env["VORDA_DEVICE_ID"], r"^device_(v2_[0-9a-f]{64}|[0-9a-f]{32})$")
        self.assertEqual(env["VORDA_FEATURE_PACK_REVISION"], "0")
        self.assertEqual(env["VORDA_INTEGRATION_ENABLED"], "1")
        self.assertEqual(env["PYTHONUNBUFFERED"], "1")

    def test_service_death_shows_error_page_then_reconnects_to_a_new_copy(self):
        shell = self.shell(env={"TAVIRO_CONNECTION_TIME_SCALE": "0.2"}).start()
        self.assertTrue(shell.wait_for_heading("Taviro 参考本地服务", 30), shell.loads())
        first = shell.service_pids()
        self.assertEqual(len(first), 1)
        os.kill(first[0], signal.SIGKILL)
        seen = len(shell.finished())
        # The next load of the page fails: "回到首页" (Ctrl+1) asks for it at once.
        self.press_in_window("ctrl+1")
        self.assertTrue(shell.wait_for_heading(ERROR, 20, after=seen), shell.loads())
        time.sleep(0.3)
        shell.screenshot("error-page")
        self.assertTrue(shell.wait_for_heading("Taviro 参考本地服务", 40, after=seen), shell.loads())
        second = shell.service_pids()
        self.assertEqual(len(second), 1)
        self.assertNotEqual(second, first)

    def test_missing_service_cycles_between_connecting_and_error_pages(self):
        shell = self.shell(service=None, env={"TAVIRO_CONNECTION_TIME_SCALE": "0.1"}).start()
        self.assertTrue(shell.wait_for_heading(CONNECTING, 20), shell.loads())
        self.assertTrue(shell.wait_for_heading(ERROR, 30), shell.loads())
        headings = [h for _, h in shell.finished()]
        self.assertEqual(headings[:2], [CONNECTING, ERROR])
        log = shell.log()
        self.assertEqual(sum(line.startswith("bundled service is not executable: ") for line in log), 5, log)
        seen = len(shell.finished())
        self.assertTrue(shell.wait_for_heading(CONNECTING, 10, after=seen), shell.loads())

    def test_error_page_retry_button_loads_the_home_page(self):
        shell = self.shell(service=None, env={"TAVIRO_CONNECTION_TIME_SCALE": "0.1"}).start()
        self.assertTrue(shell.wait_for_heading(ERROR, 40), shell.loads())
        seen = len(shell.loads())
        self.press_in_window("Tab", "Return")
        # The button asks for the home page directly; with no service that load fails.
        self.assertTrue(wait_for(lambda: any(line.startswith("failed http://127.0.0.1:")
                                             for line in shell.loads()[seen:]), 5), shell.loads())

    def test_foreign_links_go_to_the_default_browser_and_local_links_stay(self):
        browser_log = os.path.join(tempfile.mkdtemp(prefix="taviro-browser-"), "opened.txt")
        self.addCleanup(shutil.rmtree, os.path.dirname(browser_log), True)
        shell = self.shell(service="scripted")
        # A free high port: low ones such as 1 are refused by the web view before any policy runs.
        other_port = "http://127.0.0.1:61999/elsewhere"
        shell.env["SCRIPTED_SERVICE_CLICKS"] = "|".join(["https://example.com/foreign", other_port, "/local"])
        install_test_browser(shell, browser_log)
        shell.start()
        self.assertTrue(shell.wait_for_heading("local page", 30), shell.loads())
        opened = wait_for(lambda: read_lines(browser_log) if len(read_lines(browser_log)) >= 2 else None, 10)
        self.assertEqual(opened, ["https://example.com/foreign", other_port])
        self.assertTrue(shell.wait_for_url(f"http://127.0.0.1:{shell.port()}/local", 1))
        self.assertFalse(any("example.com" in u for u, _ in shell.finished()))

    def test_closing_the_window_quits_and_stops_the_service(self):
        shell = self.shell(service="scripted").start()
        self.assertTrue(shell.wait_for_heading("scripted service", 30), shell.loads())
        pid = shell.starts()[0]["pid"]
        self.assertEqual(subprocess.run([CLOSE_WINDOW, "Taviro"]).returncode, 0)
        self.assertEqual(shell.wait_exit(10), 0)
        self.assertTrue(wait_for(lambda: pid in shell.terminated(), 5), "the service was not asked to stop")

    def test_second_launch_brings_the_window_forward_without_a_second_service(self):
        if not os.environ.get("DBUS_SESSION_BUS_ADDRESS"):
            self.skipTest("uniqueness needs a session bus")
        shell = self.shell(service="scripted").start()
        self.assertTrue(shell.wait_for_heading("scripted service", 30), shell.loads())
        second = subprocess.run([os.path.join(shell.package, "Contents", "MacOS", "Taviro")], env=shell.env,
                                capture_output=True, timeout=20)
        self.assertEqual(second.returncode, 0, second.stderr)
        time.sleep(1)
        self.assertEqual(len(shell.starts()), 1)
        self.assertIsNone(shell.process.poll())
        self.assertEqual(sum(line == "desktop application launched" for line in shell.log()), 1)

    # Input through the X server, as a person's keyboard and mouse would give it.
    def window_id(self):
        out = subprocess.run(["xdotool", "search", "--name", "^Taviro$"], capture_output=True, text=True).stdout.split()
        self.assertTrue(out, "no Taviro window")
        return out[-1]

    def press_in_window(self, *keys):
        window = self.window_id()
        subprocess.run(["xdotool", "mousemove", "--window", window, "200", "80"], check=True)
        time.sleep(0.2)
        for key in keys:
            subprocess.run(["xdotool", "key", key], check=True)
            time.sleep(0.1)


def read_text(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def read_lines(path):
    try:
        with open(path, encoding="utf-8") as f:
            return [line.strip() for line in f if line.strip()]
    except FileNotFoundError:
        return []


def install_test_browser(shell, browser_log):
    """Makes a recording script the desktop's handler for http and https addresses."""
    applications = os.path.join(shell.env["XDG_DATA_HOME"], "applications")
    os.makedirs(applications, exist_ok=True)
    script = os.path.join(shell.root, "test-browser.sh")
    with open(script, "w") as f:
        f.write(f'#!/bin/sh\nprintf "%s\\n" "$1" >> "{browser_log}"\n')
    os.chmod(script, 0o755)
    with open(os.path.join(applications, "taviro-test-browser.desktop"), "w") as f:
        f.write("[Desktop Entry]\nType=Application\nName=Test Browser\n"
                f"Exec={script} %u\nMimeType=x-scheme-handler/http;x-scheme-handler/https;\nNoDisplay=true\n")
    mimeapps = "[Default Applications]\nx-scheme-handler/http=taviro-test-browser.desktop\n" \
               "x-scheme-handler/https=taviro-test-browser.desktop\n"
    os.makedirs(shell.env["XDG_CONFIG_HOME"], exist_ok=True)
    for folder in (shell.env["XDG_CONFIG_HOME"], applications):
        with open(os.path.join(folder, "mimeapps.list"), "w") as f:
            f.write(mimeapps)
    # No system-wide handler may win over the test's.
    shell.env["XDG_DATA_DIRS"] = shell.env["XDG_DATA_HOME"] + ":/usr/share"
    shell.env["XDG_CONFIG_DIRS"] = shell.env["XDG_CONFIG_HOME"]


if __name__ == "__main__":
    unittest.main(verbosity=2)
