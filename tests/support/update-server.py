#!/usr/bin/env python3
"""A remote API that answers whatever its folder holds, broken answers included, for the unit tests
that need answers no published folder gives (the reference API in reference-api/ serves real ones).

  update-server.py serve ROOT [--port-file FILE] [--tls CERT KEY]
      GET /api/updates/check answers with ROOT/answer.json (404 while it is missing),
      GET /api/feature-packs/check with ROOT/pack-answer.json, and
      GET /api/update/install-safety with ROOT/install-safety.json;
      GET /downloads/PATH sends ROOT/downloads/PATH, announcing the length in ROOT/downloads/NAME.length
      if there is one. Every request line is appended to ROOT/requests.log.
"""
import http.server
import os
import shutil
import ssl
import sys


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, format, *args):
        pass

    def do_GET(self):
        root = self.server.root
        with open(os.path.join(root, "requests.log"), "a") as log:
            log.write(self.path + "\n")
        path = self.path.split("?", 1)[0]
        answers = {"/api/updates/check": "answer.json", "/api/feature-packs/check": "pack-answer.json",
                   "/api/update/install-safety": "install-safety.json"}
        if path in answers:
            name = os.path.join(root, answers[path])
        elif path.startswith("/downloads/") and ".." not in path.split("/"):
            name = os.path.join(root, path[1:])
        else:
            name = None
        if not name or not os.path.isfile(name):
            self.send_response(404)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        length = str(os.path.getsize(name))
        if os.path.isfile(name + ".length"):
            with open(name + ".length") as announced:
                length = announced.read().strip()
        self.send_response(200)
        self.send_header("Content-Length", length)
        self.end_headers()
        try:
            with open(name, "rb") as body:
                shutil.copyfileobj(body, self.wfile, 1 << 20)
        except (BrokenPipeError, ConnectionResetError):
            pass


def serve(root, port_file=None, tls=None):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.root = root
    if tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(*tls)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    port = str(server.server_address[1])
    if port_file:
        with open(port_file + ".tmp", "w") as out:
            out.write(port)
        os.rename(port_file + ".tmp", port_file)
    server.serve_forever()


if __name__ == "__main__":
    if len(sys.argv) >= 3 and sys.argv[1] == "serve":
        args = sys.argv[3:]
        port_file = args[args.index("--port-file") + 1] if "--port-file" in args else None
        tls = tuple(args[args.index("--tls") + 1:args.index("--tls") + 3]) if "--tls" in args else None
        serve(sys.argv[2], port_file, tls)
    else:
        sys.exit(__doc__)
