#!/usr/bin/env python3
"""A local service whose behaviour a test picks with SCRIPTED_SERVICE_MODE.

Every start appends one JSON line (pid, port, working directory, environment) to
SCRIPTED_SERVICE_RECORD, and a SIGTERM appends {"terminated": pid}, so a test can see what each
copy was given and which copies were asked to stop.
"""
import http.server
import json
import os
import signal
import socket
import sys
import time

mode = os.environ.get("SCRIPTED_SERVICE_MODE", "healthy")
record = os.environ["SCRIPTED_SERVICE_RECORD"]
port = int(os.environ.get("VORDA_PORT", "0"))
revision = int(os.environ.get("VORDA_FEATURE_PACK_REVISION", "0"))


def note(entry):
    with open(record, "a", encoding="utf-8") as out:
        out.write(json.dumps(entry) + "\n")


def stop(signum, frame):
    note({"terminated": os.getpid()})
    if mode != "stubborn":  # "stubborn" is "silent" that ignores the request to stop
        os._exit(0)


signal.signal(signal.SIGTERM, stop)
note({"pid": os.getpid(), "port": port, "cwd": os.getcwd(), "env": dict(os.environ)})

if mode == "exit":
    sys.exit(3)
if mode == "slow":
    time.sleep(float(os.environ.get("SCRIPTED_SERVICE_DELAY", "1")))


def health():
    # "builtin-only" refuses with "ok": false while a downloaded pack is active.
    ok = mode != "builtin-only" or revision == 0
    return {"app": "vorda-kinoloom", "ok": ok, "feature_pack": {"revision": revision}}


if mode in ("silent", "stubborn"):
    # Accepts connections and never answers.
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(64)
    held = []
    while True:
        connection, _ = listener.accept()
        held.append(connection)


def page():
    """The home page; with SCRIPTED_SERVICE_CLICK it clicks a link to that address, as a person would."""
    click = os.environ.get("SCRIPTED_SERVICE_CLICK")
    link = f"""<a id="link" href="{click}">{click}</a><script>window.addEventListener("load",
        () => setTimeout(() => document.getElementById("link").click(), 300));</script>""" if click else ""
    # The page's channels to the shell must all be there, or the heading says so.
    channels = """<script>if (!["pathPicker", "updateChecker", "featurePackRollback"].every(
        name => window.webkit?.messageHandlers?.[name])) document.querySelector("h1").textContent = "channels missing";</script>"""
    return f"<!doctype html><html><body><h1>scripted service</h1>{channels}{link}</body></html>"


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        if self.path == "/api/local/health":
            body, kind = json.dumps(health()), "application/json"
        else:
            body, kind = page(), "text/html; charset=utf-8"
        body = body.encode()
        self.send_response(200)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
server.daemon_threads = True
server.serve_forever()
