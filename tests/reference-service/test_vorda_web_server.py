#!/usr/bin/env python3
"""Drives the reference local service as the shell does: a real process on a free port.

VORDA_WEB_SERVER names the executable to test (CTest points it at the copy inside the
package); without it the source copy next to this repository's tests is used.
"""

import http.client
import json
import os
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.environ.get("VORDA_WEB_SERVER") or os.path.join(
    HERE, "..", "..", "reference-service", "vorda-web-server")

DEVICE_ID = "dev-4f1c9a7e2b6d4e0f9a8b7c6d5e4f3a2b"
LEGACY_DEVICE_ID = "legacy-0a1b2c3d4e5f60718293a4b5c6d7e8f9"
CLOUD_DEVICE_ID = "cloud-9f8e7d6c5b4a39281706f5e4d3c2b1a0"


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def request(port, method, path, body=None, headers=None, timeout=5):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        connection.request(method, path, body=body, headers=headers or {})
        response = connection.getresponse()
        return response.status, response.getheader("Content-Type", ""), response.read()
    finally:
        connection.close()


def get_json(port, path):
    status, content_type, body = request(port, "GET", path)
    return status, content_type, json.loads(body.decode("utf-8"))


class Service:
    """One running service process with its output captured in files, like the desktop log."""

    def __init__(self, test, extra_env=None, data_root=None, drop=()):
        self.dir = tempfile.TemporaryDirectory(prefix="vorda-ref-")
        test.addCleanup(self.dir.cleanup)
        self.port = free_port()
        self.data_root = data_root or os.path.join(self.dir.name, "data")
        os.makedirs(self.data_root, exist_ok=True)
        env = dict(os.environ)
        env.pop("VORDA_REFERENCE_STARTUP_DELAY", None)
        env.update({
            "VORDA_PORT": str(self.port),
            "VORDA_DATA_ROOT": self.data_root,
            "VORDA_DEVICE_ID": DEVICE_ID,
            "VORDA_FEATURE_PACK_REVISION": "0",
            "VORDA_FEATURE_PACK_VERSION": "builtin-1.0.0",
            "PYTHONUNBUFFERED": "1",
        })
        env.update(extra_env or {})
        for name in drop:
            env.pop(name, None)
        self.stdout_path = os.path.join(self.dir.name, "stdout.log")
        self.stderr_path = os.path.join(self.dir.name, "stderr.log")
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.process = subprocess.Popen([SERVER], env=env, stdout=out, stderr=err,
                                            stdin=subprocess.DEVNULL, cwd=self.dir.name)
        test.addCleanup(self.kill)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()

    def stdout(self):
        with open(self.stdout_path, encoding="utf-8") as f:
            return f.read()

    def stderr(self):
        with open(self.stderr_path, encoding="utf-8") as f:
            return f.read()

    def wait_healthy(self, timeout=5.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise AssertionError("service exited with %s: %s" % (self.process.returncode, self.stderr()))
            try:
                status, _, _ = request(self.port, "GET", "/api/local/health", timeout=0.8)
                if status == 200:
                    return
            except OSError:
                pass
            time.sleep(0.05)
        raise AssertionError("service did not become healthy: " + self.stderr())

    def wait_output(self, text, timeout=3.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if text in self.stdout():
                return
            time.sleep(0.02)
        raise AssertionError("%r not in output:\n%s" % (text, self.stdout()))


class RunningServiceTest(unittest.TestCase):
    """Everything one long-lived process answers; the shell keeps one service for a session."""

    @classmethod
    def setUpClass(cls):
        cls.holder = unittest.TestCase()
        cls.data = tempfile.TemporaryDirectory(prefix="vorda-ref-data-")
        cls.config_path = os.path.join(cls.data.name, "config.json")
        with open(cls.config_path, "w", encoding="utf-8") as f:
            json.dump({"cloud": {"device_id": CLOUD_DEVICE_ID}, "theme": "浅色"}, f, ensure_ascii=False)
        old = time.time() - 3600  # An old mtime makes any rewrite visible.
        os.utime(cls.config_path, (old, old))
        with open(cls.config_path, "rb") as f:
            cls.config_bytes = f.read()
        cls.config_mtime = os.stat(cls.config_path).st_mtime_ns
        cls.service = Service(cls.holder, data_root=cls.data.name, extra_env={
            "VORDA_FEATURE_PACK_REVISION": "12",
            "VORDA_FEATURE_PACK_VERSION": "v12",
            "VORDA_LEGACY_DEVICE_ID": LEGACY_DEVICE_ID,
        })
        cls.port = cls.service.port
        cls.service.wait_healthy()

    @classmethod
    def tearDownClass(cls):
        cls.holder.doCleanups()
        cls.data.cleanup()

    def page(self, path="/"):
        status, content_type, body = request(self.port, "GET", path)
        self.assertEqual(status, 200)
        self.assertEqual(content_type, "text/html; charset=utf-8")
        return body.decode("utf-8")

    def fastest_health(self, tries=3):
        # The shell gives up after 0.8 s. Best of a few tries, so a busy test machine
        # does not fail a service that would never block.
        best = None
        for _ in range(tries):
            started = time.monotonic()
            status, _, _ = request(self.port, "GET", "/api/local/health", timeout=5)
            self.assertEqual(status, 200)
            elapsed = time.monotonic() - started
            best = elapsed if best is None else min(best, elapsed)
        return best

    def test_health(self):
        self.assertLess(self.fastest_health(), 0.8)
        status, content_type, body = get_json(self.port, "/api/local/health")
        self.assertEqual(status, 200)
        self.assertTrue(content_type.startswith("application/json"))
        self.assertEqual(body, {"app": "vorda-kinoloom", "ok": True,
                                "feature_pack": {"revision": 12, "version": "v12"}})

    def test_health_while_another_client_stalls(self):
        with socket.create_connection(("127.0.0.1", self.port)) as stalled:
            stalled.sendall(b"GET /api/local/he")
            self.assertLess(self.fastest_health(), 0.8)

    def test_page_shows_masked_identities(self):
        page = self.page()
        self.assertIn('<html lang="zh-CN">', page)
        self.assertIn('<meta charset="utf-8">', page)
        self.assertIn("<title>Taviro 参考本地服务</title>", page)
        self.assertIn('<h1 id="serviceTitle">Taviro 参考本地服务</h1>', page)
        self.assertIn(">%d<" % self.port, page)
        self.assertIn(self.data.name, page)
        self.assertIn('id="packRevision">12<', page)
        self.assertIn('id="packVersion">v12<', page)
        self.assertIn(DEVICE_ID[:10] + "…" + DEVICE_ID[-4:], page)
        self.assertIn(LEGACY_DEVICE_ID[:10] + "…" + LEGACY_DEVICE_ID[-4:], page)
        self.assertIn(CLOUD_DEVICE_ID[:10] + "…" + CLOUD_DEVICE_ID[-4:], page)
        for secret in (DEVICE_ID, LEGACY_DEVICE_ID, CLOUD_DEVICE_ID):
            self.assertNotIn(secret, page)
            self.assertNotIn(secret[:20], page)
        self.assertNotIn("manualInputMarker", page)

    def test_manual_input_page(self):
        page = self.page("/?input=manual")
        self.assertIn('<h2 id="manualInputMarker">手动录入</h2>', page)
        self.assertIn('id="serviceTitle"', page)

    def test_page_offers_every_bridge(self):
        page = self.page()
        for text in [
            "window.webkit.messageHandlers.pathPicker.postMessage(",
            "window.webkit?.messageHandlers?.pathPicker",
            '"target": "materialDir", "kind": "directory", "purpose": "material", "currentValue"',
            '"target": "exportDir", "kind": "directory", "purpose": "export", "currentValue"',
            '"target": "sheetFile", "kind": "file", "currentValue"',
            'id="materialDir"', 'id="exportDir"', 'id="sheetFile"',
            "window.__receivePickedPath = function(target, path)",
            '<input type="file" multiple id="fileInput">', 'id="fileList"',
            'window.webkit.messageHandlers.updateChecker.postMessage({"action": "check"})',
            "window.webkit?.messageHandlers?.updateChecker",
            "window.__receiveUpdateStatus = function(status)", 'id="updateStatusLog"',
            "window.webkit.messageHandlers.featurePackRollback.postMessage({})",
            "window.webkit?.messageHandlers?.featurePackRollback",
            '<a id="diagnosticsLink" href="/jobs/demo-1/diagnostics.txt">',
            '<a id="externalLink" href="https://example.com/">',
            '<a id="manualLink" href="/?input=manual">',
            '<textarea id="editField"',
            '"/api/imported-drafts"', '"/api/tasks/demo"',
        ]:
            self.assertIn(text, page)

    def test_imported_drafts(self):
        self.assertEqual(get_json(self.port, "/api/imported-drafts/meta")[2],
                         {"pending": 0, "latestImportDraftId": ""})
        status, _, body = request(self.port, "POST", "/api/imported-drafts")
        self.assertEqual(status, 201)
        self.assertEqual(json.loads(body), {"id": "draft-1", "pending": 1})
        status, _, body = request(self.port, "POST", "/api/imported-drafts", body=b"not json at all",
                                  headers={"Content-Type": "text/plain"})
        self.assertEqual(status, 201)
        self.assertEqual(json.loads(body), {"id": "draft-2", "pending": 2})
        self.assertEqual(get_json(self.port, "/api/imported-drafts/meta")[2],
                         {"pending": 2, "latestImportDraftId": "draft-2"})

    def test_diagnostics(self):
        status, content_type, body = request(self.port, "GET", "/jobs/demo-1/diagnostics.txt")
        self.assertEqual(status, 200)
        self.assertEqual(content_type, "text/plain; charset=utf-8")
        text = body.decode("utf-8")
        self.assertIn("demo-1", text)
        self.assertIn("任务诊断日志", text)
        for path in ["/jobs/demo-2/diagnostics.txt", "/jobs/../diagnostics.txt",
                     "/jobs/%2e%2e/diagnostics.txt", "/jobs/demo-1%2F..%2Fx/diagnostics.txt",
                     "/jobs/..%2Fdemo-1/diagnostics.txt", "/jobs/demo-1/../demo-1/diagnostics.txt",
                     "/jobs//diagnostics.txt"]:
            status, _, _ = request(self.port, "GET", path)
            self.assertEqual(status, 404, path)

    def test_install_safety_follows_demo_task(self):
        self.assertEqual(get_json(self.port, "/api/update/install-safety")[2],
                         {"safe_to_install": True, "message": "没有正在运行的任务"})
        status, _, body = request(self.port, "POST", "/api/tasks/demo", body=b'{"running": true}',
                                  headers={"Content-Type": "application/json"})
        self.assertEqual((status, json.loads(body)), (200, {"running": True}))
        self.assertEqual(get_json(self.port, "/api/update/install-safety")[2],
                         {"safe_to_install": False, "message": "有任务正在运行，请等待任务完成后再安装更新"})
        for bad in [b"{", b"", b"[]", b'{"running": "yes"}', b'{"running": 1}', b"\xff\xfe"]:
            status, content_type, body = request(self.port, "POST", "/api/tasks/demo", body=bad)
            self.assertEqual(status, 400, bad)
            self.assertTrue(content_type.startswith("application/json"))
            self.assertIn("error", json.loads(body))
        # A refused request leaves the task as it was.
        self.assertFalse(get_json(self.port, "/api/update/install-safety")[2]["safe_to_install"])
        status, _, body = request(self.port, "POST", "/api/tasks/demo", body=b'{"running": false}')
        self.assertEqual((status, json.loads(body)), (200, {"running": False}))
        self.assertTrue(get_json(self.port, "/api/update/install-safety")[2]["safe_to_install"])

    def test_unknown_and_malformed_requests(self):
        for path in ["/nope", "/api/local/health/", "/api/unknown", "/index.html"]:
            self.assertEqual(request(self.port, "GET", path)[0], 404, path)
        self.assertEqual(request(self.port, "POST", "/api/local/health")[0], 405)
        self.assertEqual(request(self.port, "POST", "/api/tasks/demo", body=b"x" * 70000)[0], 413)
        with socket.create_connection(("127.0.0.1", self.port), timeout=5) as raw:
            raw.sendall(b"GET / HTTP/1.0 extra\r\n\r\n")
            self.assertTrue(raw.recv(200).startswith(b"400 "))
        with socket.create_connection(("127.0.0.1", self.port), timeout=5) as raw:
            raw.sendall(b"POST /api/imported-drafts HTTP/1.0\r\nContent-Length: many\r\n\r\n")
            self.assertTrue(raw.recv(200).startswith(b"HTTP/1.0 400 "))
        with socket.create_connection(("127.0.0.1", self.port), timeout=5) as raw:
            raw.sendall(b"POST /api/tasks/demo HTTP/1.0\r\nContent-Length: 50\r\n\r\n{")
            raw.shutdown(socket.SHUT_WR)
            self.assertIn(b" 400 ", raw.recv(200))
        self.assertEqual(get_json(self.port, "/api/local/health")[0], 200)

    def test_config_is_read_but_never_changed(self):
        before = sorted(os.listdir(self.data.name))
        self.page()
        self.page("/?input=manual")
        with open(self.config_path, "rb") as f:
            self.assertEqual(f.read(), self.config_bytes)
        self.assertEqual(os.stat(self.config_path).st_mtime_ns, self.config_mtime)
        self.assertEqual(sorted(os.listdir(self.data.name)), before)

    def test_output_lines(self):
        request(self.port, "GET", "/api/local/health?from=output-test")
        request(self.port, "GET", "/no-such-page-for-output-test")
        self.service.wait_output("vorda-web-server GET /no-such-page-for-output-test 404\n")
        out = self.service.stdout()
        self.assertTrue(out.startswith("vorda-web-server listening on 127.0.0.1:%d revision=12\n" % self.port), out)
        self.assertIn("vorda-web-server GET /api/local/health?from=output-test 200\n", out)
        self.assertNotIn("HTTP/1", self.service.stderr())


class LifecycleTest(unittest.TestCase):
    def test_executable(self):
        mode = os.stat(SERVER).st_mode
        self.assertTrue(mode & stat.S_IXUSR, SERVER)
        with open(SERVER, "rb") as f:
            self.assertEqual(f.readline(), b"#!/usr/bin/env python3\n")

    def test_invalid_or_missing_revision_reads_as_zero(self):
        for revision in ["abc", "-3", "", "7x", None]:
            with self.subTest(revision=revision):
                extra = {} if revision is None else {"VORDA_FEATURE_PACK_REVISION": revision}
                drop = ["VORDA_FEATURE_PACK_VERSION"] + (["VORDA_FEATURE_PACK_REVISION"] if revision is None else [])
                service = Service(self, extra_env=extra, drop=drop)
                service.wait_healthy()
                self.assertEqual(get_json(service.port, "/api/local/health")[2]["feature_pack"],
                                 {"revision": 0, "version": ""})
                service.kill()

    def test_malformed_or_missing_config_and_identity(self):
        service = Service(self, drop=["VORDA_DEVICE_ID"])
        with open(os.path.join(service.data_root, "config.json"), "w") as f:
            f.write("{ not json")
        service.wait_healthy()
        status, _, body = request(service.port, "GET", "/")
        self.assertEqual(status, 200)
        page = body.decode("utf-8")
        self.assertIn("config.json 不是有效的 JSON", page)
        self.assertIn('id="deviceId">未提供<', page)
        self.assertIn('id="legacyDeviceId">未提供<', page)
        os.remove(os.path.join(service.data_root, "config.json"))
        self.assertIn("没有 config.json", request(service.port, "GET", "/")[2].decode("utf-8"))

    def test_stops_cleanly_on_sigterm_and_sigint(self):
        for signum in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=signum):
                service = Service(self)
                service.wait_healthy()
                # An idle open connection must not hold the exit up.
                idle = socket.create_connection(("127.0.0.1", service.port))
                self.addCleanup(idle.close)
                service.process.send_signal(signum)
                self.assertEqual(service.process.wait(timeout=5), 0)
                self.assertTrue(service.stdout().endswith("vorda-web-server stopped\n"), service.stdout())
                self.assertEqual(service.stderr(), "")

    def test_refuses_missing_or_invalid_port(self):
        for port in [None, "", "abc", "0", "65536", "80 80"]:
            with self.subTest(port=port):
                env = dict(os.environ)
                env.pop("VORDA_PORT", None)
                if port is not None:
                    env["VORDA_PORT"] = port
                result = subprocess.run([SERVER], env=env, capture_output=True, timeout=10,
                                        stdin=subprocess.DEVNULL)
                self.assertEqual(result.returncode, 2)
                self.assertIn(b"VORDA_PORT", result.stderr)
                self.assertEqual(result.stdout, b"")

    def test_startup_delay_knob(self):
        started = time.monotonic()
        service = Service(self, extra_env={"VORDA_REFERENCE_STARTUP_DELAY": "0.6"})
        time.sleep(0.3)
        with self.assertRaises(OSError):
            request(service.port, "GET", "/api/local/health", timeout=0.5)
        service.wait_healthy()
        self.assertGreaterEqual(time.monotonic() - started, 0.6)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[1:])
