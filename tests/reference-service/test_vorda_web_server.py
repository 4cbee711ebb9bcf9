#!/usr/bin/env python3
"""The reference local service's endpoints on a real process and port. Its health, task and install-safety
answers and its page are the end-to-end tests' business. VORDA_WEB_SERVER names the executable."""
import http.client
import os
import signal
import socket
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(__file__)
SERVER = os.environ.get("VORDA_WEB_SERVER") or os.path.join(HERE, "../../reference-service/vorda-web-server/vorda-web-server")
ERROR = '"error"'


class Endpoints(unittest.TestCase):
    def test_endpoints_and_refusals(self):
        data = tempfile.TemporaryDirectory(prefix="vorda-ref-")
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        env = dict(os.environ, VORDA_PORT=str(port), VORDA_DATA_ROOT=data.name)
        process = subprocess.Popen([SERVER], env=env, stdout=subprocess.PIPE)
        self.addCleanup(lambda: (process.kill(), process.wait(), process.stdout.close(), data.cleanup()))
        self.assertIn(b"listening", process.stdout.readline())
        # In order: (method, path, body, status, a text the answer contains).
        for method, path, body, status, answer in [
                ("POST", "/api/tasks/demo", b'{"running": "yes"}', 400, ERROR),
                ("POST", "/api/tasks/demo", b"\xff{", 400, ERROR),
                ("GET", "/api/local/health/", None, 404, ERROR), ("POST", "/api/local/health", None, 405, ERROR),
                ("POST", "/api/tasks/demo", b"x" * 70000, 413, ERROR),
                ("GET", "/?input=manual", None, 200, '<h2 id="manualInputMarker">')] + [
                ("GET", f"/jobs/{job}/diagnostics.txt", None, 404, "")
                for job in ["demo-2", "%2e%2e", "demo-1%2F..%2Fx", ".."]]:
            connection = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
            connection.request(method, path, body=body)
            response = connection.getresponse()
            text = response.read().decode("utf-8", "replace")
            self.assertEqual((response.status, answer in text), (status, True), path)
            connection.close()
        self.assertEqual(os.listdir(data.name), [], "config.json is never written")
        # The shell's own SIGTERM and the parent-death one arrive together; a handler interrupted by
        # the next must still stop the service.
        for _ in range(200):
            process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(timeout=10), 0)
        self.assertIn(b"stopped", process.stdout.read())


if __name__ == "__main__":
    unittest.main()
