#!/usr/bin/env python3
"""Launches the packaged application on the reference service several times and reports:
  - process start to the connecting page shown (its load finished in the web view),
  - the service's first healthy answer to the service page finished loading,
  - the shell process's resident memory after the load (and with its web-view helpers),
  - its CPU use over an idle period after the load.

Needs a display and a session bus; the simplest way is
  dbus-run-session -- xvfb-run -a -s "-screen 0 1600x1000x24" bench/windowed-launch.py
Usage: bench/windowed-launch.py [path/to/Taviro.app] [launches] [idle seconds]
"""
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
package = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "Taviro.app")
launches = int(sys.argv[2]) if len(sys.argv) > 2 else 5
idle_seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 30.0
TICKS = os.sysconf("SC_CLK_TCK")
PAGE = os.sysconf("SC_PAGE_SIZE")


def read(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def rss_kib(pid):
    for line in read(f"/proc/{pid}/status").splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def cpu_seconds(pid):
    fields = read(f"/proc/{pid}/stat").rsplit(")", 1)[-1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS if len(fields) > 12 else 0.0


def descendants(pid):
    children = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            fields = read(f"/proc/{entry}/stat").rsplit(")", 1)[-1].split()
            if len(fields) > 1 and int(fields[1]) == pid:
                children.append(int(entry))
    return children + [grandchild for child in children for grandchild in descendants(child)]


def launch(index, measure_idle):
    work = tempfile.mkdtemp(prefix="taviro-bench-")
    try:
        home = os.path.join(work, "home")
        os.makedirs(home)
        trace = os.path.join(work, "trace.txt")
        log = os.path.join(home, ".ostrelin-video-web", "desktop-service.log")
        env = dict(os.environ, HOME=home, XDG_DATA_HOME=os.path.join(work, "data"),
                   XDG_CONFIG_HOME=os.path.join(work, "config"), XDG_CACHE_HOME=os.path.join(work, "cache"),
                   TAVIRO_WEBVIEW_TRACE=trace, WEBKIT_DISABLE_COMPOSITING_MODE="1")
        start = time.monotonic()
        process = subprocess.Popen([os.path.join(package, "Contents", "MacOS", "Taviro")], env=env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        connecting = healthy = loaded = None
        deadline = start + 60
        # Polled every 2 ms: each figure is good to a few milliseconds.
        while loaded is None and time.monotonic() < deadline:
            now = time.monotonic()
            lines = read(trace)
            if connecting is None and "\t正在连接本地服务" in lines:
                connecting = now
            if healthy is None and "GET /api/local/health 200" in read(log):
                healthy = now
            if healthy is not None and "\tTaviro 参考本地服务" in lines:
                loaded = now
            time.sleep(0.002)
        if loaded is None:
            raise SystemExit(f"launch {index}: the service page never loaded")
        time.sleep(1.0)
        helpers = descendants(process.pid)
        shell_rss = rss_kib(process.pid)
        total_rss = shell_rss + sum(rss_kib(pid) for pid in helpers if "WebKit" in read(f"/proc/{pid}/comm"))
        idle = None
        if measure_idle:
            before = cpu_seconds(process.pid)
            time.sleep(idle_seconds)
            idle = (cpu_seconds(process.pid) - before) / idle_seconds * 100
        process.send_signal(signal.SIGTERM)
        process.wait(10)
        return {"connecting": connecting - start, "service_page": loaded - healthy,
                "rss": shell_rss, "rss_with_web": total_rss, "idle_cpu": idle}
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    results = [launch(i, measure_idle=(i == 0)) for i in range(launches)]
    def figure(key, scale=1.0):
        values = [r[key] * scale for r in results]
        return f"median {statistics.median(values):.1f}, min {min(values):.1f}, max {max(values):.1f}"
    print(f"launches: {launches}")
    print(f"process start -> connecting page shown (ms): {figure('connecting', 1000)}")
    print(f"healthy answer -> service page loaded (ms): {figure('service_page', 1000)}")
    print(f"shell resident memory after load (MiB): {figure('rss', 1 / 1024)}")
    print(f"  with its web-view helper processes (MiB): {figure('rss_with_web', 1 / 1024)}")
    print(f"shell CPU over {idle_seconds:.0f} idle seconds (%): {results[0]['idle_cpu']:.2f}")


if __name__ == "__main__":
    main()
