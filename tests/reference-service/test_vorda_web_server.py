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

SERVER = os.environ.get("VORDA_WEB_SERVER") or os.path.join(os.path.dirname(__file__), "../../reference-service/vorda-web-server")
IDS = ["dev-4f1c9a7e2b6d4e0f9a8b7c6d5e4f3a2b", "legacy-0a1b2c3d4e5f60718293a4b5c6d7e8f9", "cloud-9f8e7d6c5b4a39281706f5e4d3c2b1a0"]


def request(port, method, path, body=None, timeout=5):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        connection.request(method, path, body=body)
        response = connection.getresponse()
        return response.status, response.getheader("Content-Type", "").split(";")[0], response.read()
    finally:
        connection.close()


def get_json(port, path):
    return json.loads(request(port, "GET", path)[2])


def answers(port):
    try:
        return request(port, "GET", "/api/local/health", timeout=0.8)[0] == 200
    except OSError:
        return False


def raw_answer(port, data, half_close=False):
    with socket.create_connection(("127.0.0.1", port), timeout=5) as raw:
        raw.sendall(data)
        if half_close:
            raw.shutdown(socket.SHUT_WR)
        return raw.recv(200)


class Contract(unittest.TestCase):
    def start(self, wait=True, **env):
        """One service process with only the given VORDA_ variables; its output goes to files."""
        folder = tempfile.mkdtemp(prefix="vorda-ref-")
        self.addCleanup(shutil.rmtree, folder, True)
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        environment = {k: v for k, v in os.environ.items() if not k.startswith("VORDA_")}
        environment.update(VORDA_PORT=str(port), VORDA_DATA_ROOT=folder, **env)
        with open(folder + "/out", "wb") as out, open(folder + "/err", "wb") as err:
            process = subprocess.Popen([SERVER], env=environment, stdout=out, stderr=err, stdin=subprocess.DEVNULL)
        self.addCleanup(lambda: (process.kill(), process.wait()))
        for _ in range(100 if wait else 0):
            if answers(port):
                break
            time.sleep(0.05)
        return process, port, folder

    def test_health_page_and_masked_identities(self):
        _, port, data = self.start(VORDA_FEATURE_PACK_REVISION="12", VORDA_FEATURE_PACK_VERSION="v12", VORDA_DEVICE_ID=IDS[0],
                                   VORDA_LEGACY_DEVICE_ID=IDS[1])
        with open(data + "/config.json", "w") as f:
            json.dump({"cloud": {"device_id": IDS[2]}}, f)
        os.utime(data + "/config.json", (1, 1))
        # The shell gives up after 0.8 s, also while another client stalls mid-request.
        with socket.create_connection(("127.0.0.1", port)) as stalled:
            stalled.sendall(b"GET /api/local/he")
            self.assertTrue(any(answers(port) for _ in range(3)))
        status, content_type, body = request(port, "GET", "/api/local/health")
        self.assertEqual((status, content_type), (200, "application/json"))
        self.assertEqual(json.loads(body), {"app": "vorda-kinoloom", "ok": True, "feature_pack": {"revision": 12, "version": "v12"}})
        status, content_type, page = request(port, "GET", "/")
        self.assertEqual((status, content_type), (200, "text/html"))
        # Every element and channel the shell and its tests use, and the shell's callbacks.
        for text in ['id="' + name for name in ("serviceTitle", "materialDir", "exportDir", "sheetFile", "fileInput", "updateStatusLog",
                                                "diagnosticsLink", "externalLink", "manualLink", "editField", 'packRevision">12<')] + \
                ["window.webkit.messageHandlers.%s.postMessage(" % c for c in ("pathPicker", "updateChecker", "featurePackRollback")] + \
                ["window.__receivePickedPath = function(target, path)", "window.__receiveUpdateStatus = function(status)",
                 '"target": "materialDir", "kind": "directory", "purpose": "material", "currentValue"'] + \
                [secret[:10] + "…" + secret[-4:] for secret in IDS]:
            self.assertIn(text, page.decode("utf-8"))
        self.assertFalse(any(secret[:11] in page.decode("utf-8") for secret in IDS), "an identity shown in full")
        self.assertNotIn(b"manualInputMarker", page)
        self.assertIn('<h2 id="manualInputMarker">手动录入</h2>', request(port, "GET", "/?input=manual")[2].decode("utf-8"))
        self.assertEqual((sorted(os.listdir(data)), os.stat(data + "/config.json").st_mtime), (["config.json", "err", "out"], 1))

    def test_state_endpoints_and_refusals(self):
        _, port, _ = self.start()
        self.assertEqual(get_json(port, "/api/imported-drafts/meta"), {"pending": 0, "latestImportDraftId": ""})
        for n in (1, 2):
            status, _, body = request(port, "POST", "/api/imported-drafts", body=b"not json at all")
            self.assertEqual((status, json.loads(body)), (201, {"id": "draft-%d" % n, "pending": n}))
        self.assertEqual(get_json(port, "/api/imported-drafts/meta"), {"pending": 2, "latestImportDraftId": "draft-2"})
        for running in (True, False):
            status, _, answer = request(port, "POST", "/api/tasks/demo", body=json.dumps({"running": running}).encode())
            self.assertEqual((status, json.loads(answer)), (200, {"running": running}))
            for bad in [b"{", b"", b"[]", b'{"running": "yes"}', b'{"running": 1}', b"\xff\xfe"]:
                status, content_type, answer = request(port, "POST", "/api/tasks/demo", body=bad)
                self.assertEqual((status, content_type, "error" in json.loads(answer)), (400, "application/json", True))
            self.assertEqual(get_json(port, "/api/update/install-safety")["safe_to_install"], not running)
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

    def test_bad_environment(self):
        for port in [None, "", "abc", "0", "65536", "80 80"]:
            env = {k: v for k, v in os.environ.items() if k != "VORDA_PORT"}
            result = subprocess.run([SERVER], env=env if port is None else dict(env, VORDA_PORT=port), capture_output=True, timeout=10)
            self.assertEqual((result.returncode, result.stdout, b"VORDA_PORT" in result.stderr), (2, b"", True), port)
        for revision in ["abc", "-3", "7x", None]:
            _, port, data = self.start(**({} if revision is None else {"VORDA_FEATURE_PACK_REVISION": revision}))
            self.assertEqual(get_json(port, "/api/local/health")["feature_pack"], {"revision": 0, "version": ""})
        with open(data + "/config.json", "w") as f:
            f.write("{ not json")
        page = request(port, "GET", "/")[2].decode("utf-8")
        self.assertTrue("config.json 不是有效的 JSON" in page and 'id="deviceId">未提供<' in page)

    def test_output_lines_and_a_clean_stop_despite_an_idle_connection(self):
        for signum in (signal.SIGTERM, signal.SIGINT):
            process, port, folder = self.start(VORDA_FEATURE_PACK_REVISION="3")
            request(port, "GET", "/missing?x=1")
            idle = socket.create_connection(("127.0.0.1", port))
            self.addCleanup(idle.close)
            process.send_signal(signum)
            self.assertEqual(process.wait(timeout=5), 0)
            with open(folder + "/out") as out, open(folder + "/err") as err:
                lines, errors = out.read().splitlines(), err.read()
            self.assertEqual(lines[0], "vorda-web-server listening on 127.0.0.1:%d revision=3" % port)
            self.assertIn("vorda-web-server GET /missing?x=1 404", lines)
            self.assertEqual((lines[-1], errors), ("vorda-web-server stopped", ""))

    def test_startup_delay_knob(self):
        started = time.monotonic()
        _, port, _ = self.start(wait=False, VORDA_REFERENCE_STARTUP_DELAY="0.6")
        time.sleep(0.3)
        self.assertFalse(answers(port))
        while time.monotonic() - started < 5 and not answers(port):
            time.sleep(0.05)
        self.assertGreaterEqual(time.monotonic() - started, 0.6)
        self.assertTrue(answers(port))


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[1:])
