#!/usr/bin/env python3
"""Serves fixed answers: argv[1] is a JSON file {path: [status, body or null]}. Prints its port."""
import http.server
import json
import sys

answers = json.load(open(sys.argv[1], encoding="utf-8"))


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        status, body = answers.get(self.path, [404, "missing"])
        data = b"" if body is None else body.encode("utf-8")
        self.send_response(status)
        if status not in (204, 304):  # these carry no body, so no length either
            self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data if status not in (204, 304) else b"")

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
