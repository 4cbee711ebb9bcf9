#!/usr/bin/env python3
"""The packaged application on a virtual display: real window, real web view, real services.

Run by CTest inside dbus-run-session and xvfb-run. Each test starts Taviro from a private copy of
the package with its own home and XDG folders, watches the web view's load trace, the desktop log
and the scripted service's record, and leaves screenshots in TAVIRO_TEST_OUTPUT.
"""
import hashlib
import json
import re
import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
import urllib.request

PACKAGE = os.environ["TAVIRO_PACKAGE_DIR"]
REFERENCE_API = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "reference-api", "taviro-reference-api")
PUBLISH = os.path.join(os.environ["TAVIRO_BUILD_DIR"], "publish", "taviro-publish")
OUTPUT = os.environ.get("TAVIRO_TEST_OUTPUT", tempfile.gettempdir())
CONNECTING, ERROR, REFERENCE, SCRIPTED = "正在连接本地服务", "本地服务暂时没有连接上", "Taviro 参考本地服务", "scripted service"


def wait_for(predicate, timeout):
    deadline = time.monotonic() + timeout
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.1)
    return predicate()


def alive(pid):
    # A zombie that nobody reaped yet counts as ended.
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().split()[2] != "Z"
    except OSError:
        return False


def read_lines(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return [line.rstrip("\n") for line in f if line.strip()]
    except FileNotFoundError:
        return []


def read_text(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def write_text(path, text):
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def serve_updates(test, version=None, pack=None, program=None):
    """The reference remote API on a publishing folder the publishing tool filled: the release `version` (a copy of
    the package, with `program` as its executable when given) and the signed pack archive `pack`; returns its
    origin."""
    published = tempfile.mkdtemp(prefix="taviro-published-")
    test.addCleanup(shutil.rmtree, published, True)
    if version:
        package = os.path.join(published, "work", "Taviro.app")
        shutil.copytree(PACKAGE, package, symlinks=True)
        plist = os.path.join(package, "Contents", "Info.plist")
        version_key = r"(<key>CFBundleShortVersionString</key>\s*<string>)[^<]*"
        write_text(plist, re.sub(version_key, r"\g<1>" + version, read_text(plist)))
        if program:
            shutil.copy(program, os.path.join(package, "Contents", "MacOS", "Taviro"))
        subprocess.run([PUBLISH, "release", package, "--out", os.path.join(published, "releases", "stable")],
                       check=True, capture_output=True)
    if pack:
        os.makedirs(os.path.join(published, "packs", "stable"))
        shutil.copy(pack, os.path.join(published, "packs", "stable"))
    port_file = os.path.join(published, "port")
    server = subprocess.Popen([REFERENCE_API, "serve", published, "--port-file", port_file], stdout=subprocess.DEVNULL)
    test.addCleanup(server.wait)
    test.addCleanup(server.kill)
    test.assertTrue(wait_for(lambda: os.path.exists(port_file), 10))
    return "http://127.0.0.1:" + read_text(port_file)


class Shell:
    """One copy of the package, one home, one running application."""

    def __init__(self, test, service="reference", env=None, installed=None):
        self.root = tempfile.mkdtemp(prefix="taviro-e2e-")
        # A folder of its own, or a package installed elsewhere.
        self.package = installed or os.path.join(self.root, "Applications", "Taviro.app")
        self.executable = os.path.join(self.package, "Contents", "MacOS", "Taviro")
        if not installed:
            shutil.copytree(PACKAGE, self.package, symlinks=True)
        self.server_dir = os.path.join(self.package, "Contents", "Resources", "server")
        if service == "scripted":
            server = os.path.join(self.server_dir, "vorda-web-server", "vorda-web-server")
            shutil.copy(os.environ["TAVIRO_SCRIPTED_SERVICE"], server)
            os.chmod(server, 0o755)
        self.home, self.trace = os.path.join(self.root, "home"), os.path.join(self.root, "webview-trace.txt")
        self.record = os.path.join(self.root, "service-starts.jsonl")
        self.env = dict(os.environ, HOME=self.home, XDG_DATA_HOME=os.path.join(self.root, "data"),
                        XDG_CONFIG_HOME=os.path.join(self.root, "config"), XDG_CACHE_HOME=os.path.join(self.root, "cache"),
                        TAVIRO_WEBVIEW_TRACE=self.trace, SCRIPTED_SERVICE_RECORD=self.record, WEBKIT_DISABLE_COMPOSITING_MODE="1",
                        **(env or {}))
        self.process = None
        test.addCleanup(self.close, test)

    def start(self):
        self.output = open(os.path.join(self.root, "taviro.out"), "a")  # every launch's output, for the sanitizer check
        self.process = subprocess.Popen([self.executable], env=self.env, stdout=self.output, stderr=subprocess.STDOUT)
        return self

    def finished(self):
        """(address, first heading) of every finished load, in order."""
        return [tuple(line[9:].partition("\t")[::2]) for line in read_lines(self.trace) if line.startswith("finished ")]

    def wait_for_heading(self, heading, timeout, after=0):
        return wait_for(lambda: any(h == heading for _, h in self.finished()[after:]), timeout)

    def log(self):
        # The shell's lines carry a time stamp; the service's own output is kept as written.
        return [line[23:] if line.startswith("[") else line
                for line in read_lines(os.path.join(self.home, ".ostrelin-video-web", "desktop-service.log"))]

    def update_reports(self):
        """The self-update's reports to the page, as the reference page passed them on."""
        return [json.loads(line[len("page update: "):]) for line in self.log() if line.startswith("page update: ")]

    def starts(self):
        return [entry for entry in map(json.loads, read_lines(self.record)) if "pid" in entry]

    def port(self):
        return next(int(line.rsplit(" ", 1)[1]) for line in self.log() if line.startswith("ensuring local service on port "))

    def web_processes(self):
        """The web content processes of this shell, children of the sandbox's launcher or of the shell."""
        table = subprocess.run(["ps", "-e", "-o", "pid=,ppid=,comm="], capture_output=True, text=True).stdout
        rows = [line.split(None, 2) for line in table.splitlines()]
        family, found = {self.process.pid}, []
        for _ in range(4):
            family |= {int(pid) for pid, parent, _ in rows if int(parent) in family}
        return [int(pid) for pid, _, name in rows if int(pid) in family and name == "WebKitWebProces"]

    def service_pids(self):
        out = subprocess.run(["pgrep", "-f", self.server_dir], capture_output=True, text=True).stdout
        return [int(pid) for pid in out.split()]

    def screenshot(self, name):
        time.sleep(0.5)
        os.makedirs(OUTPUT, exist_ok=True)
        subprocess.run([os.environ["TAVIRO_SCREEN_GRAB"], os.path.join(OUTPUT, name + ".png")], check=False)

    def wait_exit(self, timeout=10):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def dialogs(self):
        """How many windows of the shell are shown: the main window's, plus one per open dialog."""
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(self.process.pid)],
                               capture_output=True, text=True)
        return len(found.stdout.split())

    def press(self, *keys):
        """Input through the X server, as a person's mouse and keyboard would give it."""
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Taviro$"], capture_output=True, text=True)
        subprocess.run(["xdotool", "mousemove", "--window", found.stdout.split()[-1], "200", "80"], check=True)
        for key in keys:
            time.sleep(0.15)
            subprocess.run(["xdotool", "key", key], check=True)

    def close(self, test):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            if self.wait_exit() is None:
                self.process.kill()
                self.process.wait()
        # An updated copy started by the swap script is no child of ours.
        updated = subprocess.run(["pgrep", "-f", self.executable], capture_output=True, text=True).stdout.split()
        for pid in [int(p) for p in updated] + self.service_pids() + [e["pid"] for e in self.starts() if alive(e["pid"])]:
            os.kill(pid, signal.SIGKILL)
        report = ""
        if self.process:
            self.output.close()
            report = "\n".join(read_lines(self.output.name))
        shutil.rmtree(self.root, ignore_errors=True)
        # A sanitizer build reports memory errors on the shell's output.
        if "ERROR: AddressSanitizer" in report or "runtime error:" in report:
            test.fail("the shell reported a memory error:\n" + report[-4000:])


class WindowedApp(unittest.TestCase):
    def test_launch_then_new_cycles_for_the_running_and_a_dead_service_and_sigterm_stops_both(self):
        shell = Shell(self)
        unit = os.path.join(shell.home, ".config", "systemd", "user", "com.ostrelin.video-web.service")
        os.makedirs(os.path.dirname(unit))
        open(unit, "w").close()
        shell.start()
        self.assertTrue(shell.wait_for_heading(REFERENCE, 30), shell.finished())
        port = shell.port()
        # The connecting page, unless the service page was asked for before it had finished loading.
        self.assertEqual(shell.finished()[-1][0], f"http://127.0.0.1:{port}/")
        self.assertLessEqual(set(shell.finished()[:-1]), {("about:blank", CONNECTING)})
        log = shell.log()
        steps = [log.index(line) for line in ("desktop application launched", "remote API origin https://api.taviro.example",
                                              "window built", "legacy launch agent disabled", "feature pack prepared revision=0",
                                              "connectAndLoad scheduled")]
        self.assertEqual(steps, sorted(steps))
        self.assertFalse(os.path.exists(unit), "the legacy agent's unit file is removed")
        self.assertIn(f"bundled service launched on port {port}", log)
        shell.screenshot("service-page")
        seen = len(shell.finished())
        shell.press("ctrl+r")  # "刷新": a new cycle finds the running service again
        self.assertTrue(shell.wait_for_heading(REFERENCE, 20, after=seen), shell.finished())
        self.assertIn("existing local service is ready", shell.log())
        # The page runs in a sandbox: a mount namespace of its own, where the user's files are not.
        secret = os.path.join(shell.home, "secret.txt")
        open(secret, "w").close()
        web = shell.web_processes()
        self.assertTrue(web, "no web process found")
        for pid in web:
            self.assertNotEqual(os.readlink(f"/proc/{pid}/ns/mnt"), os.readlink("/proc/self/ns/mnt"))
            self.assertFalse(os.path.exists(f"/proc/{pid}/root{secret}"))
        self.assertIn("console info 参考页面已加载", read_lines(shell.trace))
        # A killed web process starts a new cycle (the limit on restarts is the navigation handler's unit test).
        seen = len(shell.finished())
        for pid in shell.web_processes():
            os.kill(pid, signal.SIGKILL)
        self.assertTrue(shell.wait_for_heading(REFERENCE, 30, after=seen), shell.finished())
        log = shell.log()
        self.assertEqual(log[log.index("web content process terminated (crashed)") + 1], "connectAndLoad scheduled")
        first = shell.service_pids()
        self.assertEqual(len(first), 1, first)
        # With the service dead, "回到首页" fails at once and shows the error page. Its button asks for the home page
        # before the next cycle (two seconds later), and fails too; then a new copy is started.
        os.kill(first[0], signal.SIGKILL)
        seen = len(shell.finished())
        shell.press("ctrl+1")
        self.assertTrue(shell.wait_for_heading(ERROR, 20, after=seen), shell.finished())
        lines = len(read_lines(shell.trace))
        shell.press("Tab", "Return")
        self.assertTrue(wait_for(lambda: any(line.startswith("failed http://127.0.0.1:") for line in read_lines(shell.trace)[lines:]), 5),
                        read_lines(shell.trace))
        shell.screenshot("error-page")
        self.assertTrue(shell.wait_for_heading(REFERENCE, 40, after=seen), shell.finished())
        pids = shell.service_pids()
        self.assertEqual(len(pids), 1, pids)
        self.assertNotEqual(pids, first)
        shell.process.send_signal(signal.SIGTERM)
        self.assertEqual(shell.wait_exit(), 0)
        self.assertTrue(wait_for(lambda: not alive(pids[0]), 10), "the service outlived the shell")
        # The service's output is in the log, its last lines included.
        self.assertTrue(wait_for(lambda: "vorda-web-server stopped" in shell.log(), 5), shell.log())
        # The page's website data was never written: nothing of it is left on disk.
        self.assertLessEqual(set(os.listdir(os.path.join(shell.env["XDG_DATA_HOME"], "Taviro"))), {"feature-packs", "updates"})
        self.assertFalse(os.path.exists(os.path.join(shell.env["XDG_CACHE_HOME"], "Taviro")))

    def test_a_slow_service_its_environment_foreign_links_a_second_launch_and_a_pack_from_the_origin(self):
        inherited = {"VORDA_PORT": "1", "GENERATION_GATEWAY_URL": "https://inherited.example", "VORDA_DEVICE_ID": "inherited",
                     "VORDA_FEATURE_PACK_REVISION": "77", "VORDA_FEATURE_PACK_ROOT": "/inherited/pack", "TAVIRO_UNRELATED": "kept"}
        # The page clicks a foreign link once loaded; where each address goes is the navigation table's business, here
        # the desktop's browser must get it verbatim.
        foreign = "https://example.com/foreign?next=%2Fhome&lang=zh-CN"
        shell = Shell(self, "scripted", dict(inherited, SCRIPTED_SERVICE_MODE="slow", SCRIPTED_SERVICE_DELAY="2",
                                             SCRIPTED_SERVICE_CLICK=foreign))
        # The origin offers a signed pack, which the background check fetches after the first page.
        origin = serve_updates(self, pack=signed_packs(shell, [3])[0])
        shell.env["VORDA_API_ORIGIN"] = origin + "/"
        browser_log = os.path.join(shell.root, "opened.txt")
        install_test_browser(shell, browser_log)
        shell.start()
        self.assertTrue(shell.wait_for_heading(CONNECTING, 20), shell.finished())
        shell.screenshot("connecting-page")
        self.assertTrue(shell.wait_for_heading(SCRIPTED, 30), shell.finished())
        start, resources = shell.starts()[0], os.path.join(shell.package, "Contents", "Resources")
        env, data_root = start["env"], os.path.join(shell.home, ".ostrelin-video-web")
        self.assertEqual(start["cwd"], resources)
        # What is derived from the machine or the package, or replaces an inherited value.
        expected = {"PATH": resources + "/bin:" + os.environ["PATH"], "VORDA_DATA_ROOT": data_root,
                    "VORDA_PROJECT_ROOT": data_root + "/projects", "GENERATION_GATEWAY_URL": origin,
                    "VORDA_PORT": str(shell.port()), "VORDA_FEATURE_PACK_REVISION": "0",
                    "VORDA_FEATURE_PACK_STATE": os.path.join(shell.root, "data", "Taviro", "feature-packs", "state.json"),
                    "VORDA_FEATURE_PACK_ROOT": "/inherited/pack", "TAVIRO_UNRELATED": "kept"}  # no pack active: its root stays
        self.assertEqual({name: env.get(name) for name in expected}, expected)
        self.assertRegex(env["VORDA_DEVICE_ID"], r"^device_(v2_[0-9a-f]{64}|[0-9a-f]{32})$")
        self.assertTrue(wait_for(lambda: read_lines(browser_log), 10))
        shell.press("ctrl+o")  # "在浏览器打开": the service's home page
        self.assertTrue(wait_for(lambda: len(read_lines(browser_log)) == 2, 10))
        self.assertEqual(read_lines(browser_log), [foreign, f"http://127.0.0.1:{shell.port()}/"])
        self.assertFalse(any("example.com" in u for u, _ in shell.finished()))
        # A second launch (unique on the session bus) brings this window forward and starts nothing.
        second = subprocess.run([shell.executable], env=shell.env, capture_output=True, timeout=20)
        self.assertEqual(second.returncode, 0, second.stderr)
        time.sleep(1)
        self.assertEqual((len(shell.starts()), shell.process.poll()), (1, None))
        self.assertEqual(shell.log().count("desktop application launched"), 1)
        # The offered pack waits for the next launch, which gives it to the service.
        staged = "feature pack staged revision=3; activation deferred until next launch"
        self.assertTrue(wait_for(lambda: staged in shell.log(), 40), shell.log()[-5:])
        staging = os.path.join(shell.root, "data", "Taviro", "feature-packs", "staging")
        self.assertEqual(os.listdir(staging), [])
        os.makedirs(os.path.join(staging, "4-left-by-a-killed-run", "assets"))  # cleared by the next launch
        # A start right after a quit opens a window of its own, even while the quitting one ends.
        first, seen = shell.process, len(shell.finished())
        first.send_signal(signal.SIGTERM)
        time.sleep(0.3)
        shell.start()
        self.assertEqual(first.wait(10), 0)
        self.assertTrue(shell.wait_for_heading(SCRIPTED, 30, after=seen), shell.finished())
        env = shell.starts()[-1]["env"]
        self.assertEqual((env["VORDA_FEATURE_PACK_REVISION"], env["VORDA_FEATURE_PACK_ROOT"]),
                         ("3", os.path.join(shell.root, "data", "Taviro", "feature-packs", "versions", "3")))
        self.assertIn("feature pack activated revision=3 version=3.0.0", shell.log())
        self.assertEqual(os.listdir(staging), [])

    def test_the_page_gets_paths_files_diagnostics_a_rollback_answer_and_imported_drafts(self):
        """The reference page's controls, reached with the keyboard; the real GTK dialogs answered with keystrokes."""
        shell = Shell(self)
        signed_packs(shell, (1, 2), stage=True)  # revision 2 active, 1 kept as the previous pack
        shell.start()
        self.assertTrue(shell.wait_for_heading(REFERENCE, 30), shell.finished())
        folder, files, saves = (os.path.join(shell.root, name) for name in ("material", "files", "saves"))
        for path in (folder, files, saves):
            os.makedirs(path)
        open(os.path.join(files, "a.mp4"), "w").close()
        calm = shell.dialogs()

        def shown(title):
            """A chooser by its title; an alert, which has none, as one window more than the calm state."""
            if title is None:
                return shell.dialogs() > calm
            found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", f"^{title}$"], capture_output=True)
            return bool(found.stdout.split())

        def answer(keys, title=None, typed=None, screenshot=None):
            """Opens a dialog with `keys`, types `typed` into its location field (over the proposed name in a save
            dialog) and confirms, then waits until it is gone."""
            shell.press(*keys)
            self.assertTrue(wait_for(lambda: shown(title), 10), f"{title} did not open")
            if screenshot:
                shell.screenshot(screenshot)
            if typed is not None:
                # Over the proposed name in a save dialog; elsewhere a leading "/" opens the location field, which
                # takes a moment to appear: keys typed before it is there are lost.
                save = title == "保存诊断日志"
                shell.press("ctrl+a" if save else "slash")
                time.sleep(0.7)
                subprocess.run(["xdotool", "type", "--delay", "30", typed if save else typed[1:]], check=True)
                time.sleep(1)  # a folder typed in is listed before the confirmation picks from it
            # A typed folder may first be opened rather than taken: then the next Return takes it.
            for _ in range(3):
                shell.press("Return")
                if wait_for(lambda: not shown(title), 4):
                    return
            shell.screenshot("stuck-dialog")
            self.fail(f"{title} stayed")

        # Focus order from the top: the material field, its button, the export field and button, the spreadsheet
        # field and button, the file input, the update and rollback buttons, three task buttons, the diagnostics links.
        answer(["Tab", "Tab", "Return"], "选择产品素材文件夹", folder, "folder-picker")
        self.assertTrue(wait_for(lambda: f"page picked materialDir: {folder}" in shell.log(), 5), shell.log()[-5:])
        answer(["Tab"] * 5 + ["Return"], "选择文件", os.path.join(files, "a.mp4"))
        self.assertTrue(wait_for(lambda: "page files: a.mp4" in shell.log(), 5), shell.log()[-5:])
        # The previous pack is scheduled (a damaged one refused is the pack lifecycle's and the page bridge's tests').
        answer(["Tab", "Tab", "Return"], screenshot="rollback-scheduled-alert")
        self.assertIn("manual feature pack rollback scheduled active=1", shell.log())
        saved = os.path.join(saves, "diagnostics.txt")
        answer(["Tab"] * 4 + ["Return"], "保存诊断日志", saved)
        answer([])
        self.assertTrue(read_text(saved).startswith("job: demo-1\n"))

        # An imported draft brings the manual-input page within two polls (which drafts do is the polling's unit test).
        urllib.request.urlopen(urllib.request.Request(f"http://127.0.0.1:{shell.port()}/api/imported-drafts", b"{}"))
        manual = f"http://127.0.0.1:{shell.port()}/?input=manual"
        self.assertTrue(wait_for(lambda: manual in [u for u, _ in shell.finished()], 8), shell.finished()[-3:])

    def test_a_shell_killed_with_sigkill_takes_its_service_along(self):
        """The thread that started the service has ended by the time the page shows; the service still goes."""
        shell = Shell(self, "scripted").start()
        self.assertTrue(shell.wait_for_heading(SCRIPTED, 30), shell.finished())
        pid = shell.starts()[-1]["pid"]
        shell.process.kill()
        shell.process.wait()
        records = lambda: [json.loads(line) for line in read_lines(shell.record)]
        self.assertTrue(wait_for(lambda: {"terminated": pid} in records(), 1.5), records()[-2:])
        self.assertTrue(wait_for(lambda: not alive(pid), 2))

    def test_a_newer_release_is_prepared_after_the_first_page_and_installed_when_the_window_closes(self):
        """The automatic flow prepares a release from a local update server; a click meets a running task; the quit
        swaps the package and the new version opens."""
        shell = Shell(self, env={"VORDA_API_ORIGIN": serve_updates(self, "99.0.0")})
        shell.start()
        self.assertTrue(shell.wait_for_heading(REFERENCE, 30), shell.finished())

        # The states on the way are the self-update's unit tests'.
        reports = shell.update_reports
        self.assertTrue(wait_for(lambda: [r["state"] for r in reports()][-1:] == ["ready"], 60), reports())

        def set_demo_task(running):
            urllib.request.urlopen(urllib.request.Request(f"http://127.0.0.1:{shell.port()}/api/tasks/demo",
                                                          json.dumps({"running": running}).encode(),
                                                          {"Content-Type": "application/json"}))

        # The update button is the eighth stop from the top.
        set_demo_task(True)
        count = len(reports())
        shell.press(*["Tab"] * 8, "Return")
        self.assertTrue(wait_for(lambda: len(reports()) > count, 30), reports())
        self.assertEqual(reports()[count], {"state": "blocked", "message": "有任务正在运行，请等待任务完成后再安装更新",
                                            "version": "99.0.0"})
        set_demo_task(False)

        # Quitting hands the package to the swap script, which starts the new version once the old one is gone.
        shell.press("ctrl+q")
        self.assertEqual(shell.wait_exit(), 0)
        update_log = os.path.join(shell.env["XDG_DATA_HOME"], "Taviro", "updates", "99.0.0", "update.log")
        self.assertTrue(wait_for(lambda: any(l.startswith("finish update") for l in read_lines(update_log)), 60),
                        read_lines(update_log))
        self.assertIn("<string>99.0.0</string>", read_text(os.path.join(shell.package, "Contents", "Info.plist")))
        self.assertTrue(wait_for(lambda: shell.log().count("desktop application launched") == 2, 20), shell.log()[-5:])
        self.assertTrue(wait_for(lambda: [h for _, h in shell.finished()].count(REFERENCE) == 2, 30), shell.finished())

    def test_a_new_version_that_cannot_start_is_rolled_back_and_the_previous_one_opens_again(self):
        origin = serve_updates(self, "99.0.1", program="/bin/false")
        shell = Shell(self, env={"VORDA_API_ORIGIN": origin})
        shell.start()
        self.assertTrue(wait_for(lambda: [r["state"] for r in shell.update_reports()][-1:] == ["ready"], 90), shell.update_reports())
        shell.process.send_signal(signal.SIGTERM)
        self.assertEqual(shell.wait_exit(), 0)
        self.assertTrue(wait_for(lambda: "update rolled back version=99.0.1: it ended before showing a page; the previous version "
                                 "is started again" in shell.log(), 60), shell.log()[-5:])
        self.assertNotIn("99.0.1", read_text(os.path.join(shell.package, "Contents", "Info.plist")))
        self.assertTrue(wait_for(lambda: [h for _, h in shell.finished()].count(REFERENCE) == 2, 30), shell.finished())
        # The previous version's own check after its first page finds the refused version no update.
        time.sleep(3)
        self.assertEqual([r["state"] for r in shell.update_reports()].count("downloading"), 1, shell.update_reports())


def signed_packs(shell, revisions, stage=False):
    """A small pack per revision, made and signed by the publishing tool with a key made for this run, which the
    shell is told to trust, and staged through the headless mode when `stage`; returns the archives."""
    work = os.path.join(shell.root, "packs")
    run = lambda *args: subprocess.run(args, check=True, capture_output=True, env=shell.env)
    run(PUBLISH, "keygen", "--out", work)
    shell.env["VORDA_FEATURE_PUBLIC_KEY"] = os.path.join(work, "feature-pack-public-key.json")
    source = os.path.join(work, "source")
    os.makedirs(source)
    for name in ("ui.json", "generation_rules.json", "ui-overrides.css"):
        write_text(os.path.join(source, name), ".toolbar { color: red; }" if name.endswith(".css") else "{}")
    archives = []
    for revision in revisions:
        archives.append(os.path.join(work, f"ui-rules-{revision}.zip"))
        run(PUBLISH, "pack", source, "--revision", str(revision), "--version", f"{revision}.0.0", "--out", archives[-1],
            "--min-app-version", "1.0.0", "--max-app-version-exclusive", "2.0.0",
            "--key", os.path.join(work, "feature-pack-private-key.json"))
        if stage:
            with open(archives[-1], "rb") as f:
                digest = hashlib.file_digest(f, "sha256").hexdigest()
            run(shell.executable, "--stage-feature-pack", archives[-1], f"{revision}.0.0", str(revision), digest)
    return archives


def install_test_browser(shell, browser_log):
    """Makes a recording script the desktop's only handler for http and https addresses."""
    applications = os.path.join(shell.env["XDG_DATA_HOME"], "applications")
    os.makedirs(applications)
    os.makedirs(shell.env["XDG_CONFIG_HOME"])
    script = os.path.join(shell.root, "test-browser.sh")
    write_text(script, f'#!/bin/sh\nprintf "%s\\n" "$1" >> "{browser_log}"\n')
    os.chmod(script, 0o755)
    desktop_entry = os.path.join(applications, "taviro-test-browser.desktop")
    write_text(desktop_entry, f"[Desktop Entry]\nType=Application\nName=Test Browser\nExec={script} %u\n"
               "MimeType=x-scheme-handler/http;x-scheme-handler/https;\nNoDisplay=true\n")
    mimeapps = os.path.join(shell.env["XDG_CONFIG_HOME"], "mimeapps.list")
    write_text(mimeapps, "[Default Applications]\nx-scheme-handler/http=taviro-test-browser.desktop\n"
               "x-scheme-handler/https=taviro-test-browser.desktop\n")
    shell.env.update(XDG_DATA_DIRS=shell.env["XDG_DATA_HOME"] + ":/usr/share", XDG_CONFIG_DIRS=shell.env["XDG_CONFIG_HOME"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
