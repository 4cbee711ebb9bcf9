#!/usr/bin/env python3
"""The reference local service's contract, driven as the shell drives it: a real process on a
free port. VORDA_WEB_SERVER names the executable (CTest points it at the packaged copy)."""
import http.client
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

SERVER = os.environ.get("VORDA_WEB_SERVER") or os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..", "reference-service", "vorda-web-server")
IDS = ["dev-4f1c9a7e2b6d4e0f9a8b7c6d5e4f3a2b", "legacy-0a1b2c3d4e5f60718293a4b5c6d7e8f9", "cloud-9f8e7d6c5b4a39281706f5e4d3c2b1a0"]


def request(port, method, path, body=None, timeout=5):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        connection.request(method, path, body=body)
        response = connection.getresponse()
        return response.status, response.getheader("Content-Type", ""), response.read()
    finally:
        connection.close()


def get_json(port, path):
    return json.loads(request(port, "GET", path)[2])


def timed(function, *args):
    started = time.monotonic()
    function(*args)
    return time.monotonic() - started


def raw_answer(port, data, half_close=False):
    with socket.create_connection(("127.0.0.1", port), timeout=5) as raw:
        raw.sendall(data)
        if half_close:
            raw.shutdown(socket.SHUT_WR)
        return raw.recv(200)


class Service:
    """One service process; its output goes to files, as it goes to the desktop log."""

    def __init__(self, test, env=None, data_root=None):
        self.dir = tempfile.mkdtemp(prefix="vorda-ref-")
        test.addCleanup(shutil.rmtree, self.dir, True)
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        self.data_root = data_root or self.dir
        environment = {k: v for k, v in os.environ.items() if not k.startswith("VORDA_")}
        environment.update({"VORDA_PORT": str(self.port), "VORDA_DATA_ROOT": self.data_root, **(env or {})})
        self.out, self.err = os.path.join(self.dir, "out"), os.path.join(self.dir, "err")
        with open(self.out, "wb") as out, open(self.err, "wb") as err:
            self.process = subprocess.Popen([SERVER], env=environment, stdout=out, stderr=err, stdin=subprocess.DEVNULL)
        test.addCleanup(lambda: (self.process.kill(), self.process.wait()))

    def output(self, name="out"):
        with open(getattr(self, name), encoding="utf-8") as f:
            return f.read()

    def wait_healthy(self):
        for _ in range(100):
            try:
                if request(self.port, "GET", "/api/local/health", timeout=0.8)[0] == 200:
                    return self
            except OSError:
                time.sleep(0.05)
        raise AssertionError("not healthy: " + self.output("err"))


class Contract(unittest.TestCase):
    def test_health_page_and_identities(self):
        data = tempfile.mkdtemp(prefix="vorda-ref-data-")
        self.addCleanup(shutil.rmtree, data, True)
        with open(os.path.join(data, "config.json"), "w", encoding="utf-8") as f:
            json.dump({"cloud": {"device_id": IDS[2]}}, f)
        os.utime(os.path.join(data, "config.json"), (1, 1))
        port = Service(self, data_root=data, env={"VORDA_FEATURE_PACK_REVISION": "12", "VORDA_FEATURE_PACK_VERSION": "v12",
                                                  "VORDA_DEVICE_ID": IDS[0], "VORDA_LEGACY_DEVICE_ID": IDS[1]}).wait_healthy().port
        # The shell gives up after 0.8 s, also while another client stalls mid-request.
        with socket.create_connection(("127.0.0.1", port)) as stalled:
            stalled.sendall(b"GET /api/local/he")
            self.assertLess(min(timed(request, port, "GET", "/api/local/health") for _ in range(3)), 0.8)
        status, content_type, body = request(port, "GET", "/api/local/health")
        self.assertEqual((status, content_type.split(";")[0]), (200, "application/json"))
        self.assertEqual(json.loads(body), {"app": "vorda-kinoloom", "ok": True, "feature_pack": {"revision": 12, "version": "v12"}})
        status, content_type, page = request(port, "GET", "/")
        self.assertEqual((status, content_type), (200, "text/html; charset=utf-8"))
        page = page.decode("utf-8")
        # Every element and channel the shell and its tests use, and the shell's callbacks.
        for text in ['id="' + name for name in ("serviceTitle", "materialDir", "exportDir", "sheetFile", "fileInput",
                                                "updateStatusLog", "diagnosticsLink", "externalLink", "manualLink", "editField",
                                                'packRevision">12<', 'packVersion">v12<')] + \
                ["window.webkit.messageHandlers.%s.postMessage(" % c for c in ("pathPicker", "updateChecker", "featurePackRollback")] + \
                ["window.__receivePickedPath = function(target, path)", "window.__receiveUpdateStatus = function(status)",
                 '"target": "materialDir", "kind": "directory", "purpose": "material", "currentValue"']:
            self.assertIn(text, page)
        for secret in IDS:
            self.assertIn(secret[:10] + "…" + secret[-4:], page)
            self.assertNotIn(secret[:11], page)
        self.assertNotIn("manualInputMarker", page)
        self.assertIn('<h2 id="manualInputMarker">手动录入</h2>', request(port, "GET", "/?input=manual")[2].decode("utf-8"))
        self.assertEqual(os.listdir(data), ["config.json"])
        self.assertEqual(os.stat(os.path.join(data, "config.json")).st_mtime, 1, "config.json is never written")

    def test_state_endpoints_and_refusals(self):
        port = Service(self).wait_healthy().port
        self.assertEqual(get_json(port, "/api/imported-drafts/meta"), {"pending": 0, "latestImportDraftId": ""})
        for n in (1, 2):
            status, _, body = request(port, "POST", "/api/imported-drafts", body=b"not json at all")
            self.assertEqual((status, json.loads(body)), (201, {"id": "draft-%d" % n, "pending": n}))
        self.assertEqual(get_json(port, "/api/imported-drafts/meta"), {"pending": 2, "latestImportDraftId": "draft-2"})
        for running, safe in ((True, False), (False, True)):
            body = json.dumps({"running": running}).encode()
            status, _, answer = request(port, "POST", "/api/tasks/demo", body=body)
            self.assertEqual((status, json.loads(answer)), (200, {"running": running}))
            self.assertEqual(get_json(port, "/api/update/install-safety")["safe_to_install"], safe)
            for bad in [b"{", b"", b"[]", b'{"running": "yes"}', b'{"running": 1}', b"\xff\xfe"]:
                status, content_type, answer = request(port, "POST", "/api/tasks/demo", body=bad)
                self.assertEqual((status, content_type.split(";")[0], "error" in json.loads(answer)), (400, "application/json", True))
            self.assertEqual(get_json(port, "/api/update/install-safety")["safe_to_install"], safe, "a refusal changes nothing")
        self.assertIn("任务诊断日志", request(port, "GET", "/jobs/demo-1/diagnostics.txt")[2].decode("utf-8"))
        for path in ["/jobs/demo-2/diagnostics.txt", "/jobs/../diagnostics.txt", "/jobs/%2e%2e/diagnostics.txt",
                     "/jobs/demo-1%2F..%2Fx/diagnostics.txt", "/jobs//diagnostics.txt", "/nope", "/api/local/health/"]:
            self.assertEqual(request(port, "GET", path)[0], 404, path)
        self.assertEqual(request(port, "POST", "/api/local/health")[0], 405)
        self.assertEqual(request(port, "POST", "/api/tasks/demo", body=b"x" * 70000)[0], 413)
        self.assertTrue(raw_answer(port, b"GET / HTTP/1.0 extra\r\n\r\n").startswith(b"400 "))
        self.assertIn(b" 400 ", raw_answer(port, b"POST /api/imported-drafts HTTP/1.0\r\nContent-Length: many\r\n\r\n"))
        self.assertIn(b" 400 ", raw_answer(port, b"POST /api/tasks/demo HTTP/1.0\r\nContent-Length: 50\r\n\r\n{", True))
        self.assertEqual(request(port, "GET", "/api/local/health")[0], 200)

    def test_environment_refusals_and_defaults(self):
        for port in [None, "", "abc", "0", "65536", "80 80"]:
            env = {k: v for k, v in os.environ.items() if k != "VORDA_PORT"}
            env.update({} if port is None else {"VORDA_PORT": port})
            result = subprocess.run([SERVER], env=env, capture_output=True, timeout=10, stdin=subprocess.DEVNULL)
            self.assertEqual((result.returncode, result.stdout, b"VORDA_PORT" in result.stderr), (2, b"", True), port)
        for revision in ["abc", "-3", "7x", None]:
            service = Service(self, env={} if revision is None else {"VORDA_FEATURE_PACK_REVISION": revision}).wait_healthy()
            self.assertEqual(get_json(service.port, "/api/local/health")["feature_pack"], {"revision": 0, "version": ""})
        with open(os.path.join(service.data_root, "config.json"), "w") as f:
            f.write("{ not json")
        page = request(service.port, "GET", "/")[2].decode("utf-8")
        self.assertIn("config.json 不是有效的 JSON", page)
        self.assertIn('id="deviceId">未提供<', page)

    def test_output_and_clean_stop_even_with_an_idle_connection(self):
        for signum in (signal.SIGTERM, signal.SIGINT):
            service = Service(self, env={"VORDA_FEATURE_PACK_REVISION": "3"}).wait_healthy()
            request(service.port, "GET", "/missing?x=1")
            idle = socket.create_connection(("127.0.0.1", service.port))
            self.addCleanup(idle.close)
            service.process.send_signal(signum)
            self.assertEqual(service.process.wait(timeout=5), 0)
            lines = service.output().splitlines()
            self.assertEqual(lines[0], "vorda-web-server listening on 127.0.0.1:%d revision=3" % service.port)
            self.assertIn("vorda-web-server GET /missing?x=1 404", lines)
            self.assertEqual((lines[-1], service.output("err")), ("vorda-web-server stopped", ""))

    def test_startup_delay_knob(self):
        started = time.monotonic()
        service = Service(self, env={"VORDA_REFERENCE_STARTUP_DELAY": "0.6"})
        time.sleep(0.3)
        self.assertRaises(OSError, request, service.port, "GET", "/api/local/health", timeout=0.5)
        service.wait_healthy()
        self.assertGreaterEqual(time.monotonic() - started, 0.6)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[1:])
