#!/usr/bin/env python3
"""The reference local service's endpoints on a real process and port. Its health answer, page and
stop on SIGTERM are the end-to-end tests' business. VORDA_WEB_SERVER names the executable."""
import http.client
import os
import socket
import subprocess
import tempfile
import unittest

SERVER = os.environ.get("VORDA_WEB_SERVER") or os.path.join(os.path.dirname(__file__), "../../reference-service/vorda-web-server")


class Endpoints(unittest.TestCase):
    def test_endpoints_and_refusals(self):
        data = tempfile.TemporaryDirectory(prefix="vorda-ref-")
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        process = subprocess.Popen([SERVER], env=dict(os.environ, VORDA_PORT=str(port), VORDA_DATA_ROOT=data.name), stdout=subprocess.PIPE)
        self.addCleanup(lambda: (process.kill(), process.wait(), process.stdout.close(), data.cleanup()))
        self.assertIn(b"listening", process.stdout.readline())
        # In order: (method, path, body, status, a text the answer contains).
        for method, path, body, status, answer in [
                ("GET", "/api/imported-drafts/meta", None, 200, '{"pending": 0, "latestImportDraftId": ""}'),
                ("POST", "/api/imported-drafts", b"any body", 201, '{"id": "draft-1", "pending": 1}'),
                ("GET", "/api/imported-drafts/meta", None, 200, '{"pending": 1, "latestImportDraftId": "draft-1"}'),
                ("POST", "/api/tasks/demo", b'{"running": true}', 200, '{"running": true}'), ("GET", "/api/tasks/demo", None, 200, '{"running": true}'),
                ("GET", "/api/update/install-safety", None, 200, '"safe_to_install": false'),
                ("POST", "/api/tasks/demo", b'{"running": "yes"}', 400, '"error"'), ("POST", "/api/tasks/demo", b"\xff{", 400, '"error"'),
                ("GET", "/jobs/demo-1/diagnostics.txt", None, 200, "任务诊断日志"), ("GET", "/jobs/demo-2/diagnostics.txt", None, 404, ""),
                ("GET", "/jobs/%2e%2e/diagnostics.txt", None, 404, ""), ("GET", "/jobs/demo-1%2F..%2Fx/diagnostics.txt", None, 404, ""),
                ("GET", "/jobs/../diagnostics.txt", None, 404, ""), ("GET", "/api/local/health/", None, 404, '"error"'),
                ("POST", "/api/local/health", None, 405, '"error"'), ("POST", "/api/tasks/demo", b"x" * 70000, 413, '"error"'),
                ("GET", "/?input=manual", None, 200, '<h2 id="manualInputMarker">')]:
            connection = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
            connection.request(method, path, body=body)
            response = connection.getresponse()
            self.assertEqual((response.status, answer in response.read().decode("utf-8", "replace")), (status, True), path)
            connection.close()
        self.assertEqual(os.listdir(data.name), [], "config.json is never written")


if __name__ == "__main__":
    unittest.main()
