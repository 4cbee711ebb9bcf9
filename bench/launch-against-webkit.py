#!/usr/bin/env python3
"""The packaged application against the WebKitGTK floor: a minimal host (bench/minimal-host.c, one
window and one web view, built here) showing the same pages. Launches alternate between the two on
the reference service and the report gives medians and ratios of:
  - process start -> first page shown (the connecting page; or the service page when the service
    answers before the connecting page has finished loading, which then never shows),
  - process start -> service page shown (the minimal host's service is already listening; the
    service's own time to listen is measured apart), and for the shell, service listening ->
    service page shown,
  - resident memory of the UI process and proportional memory of the whole process tree after the
    service page,
  - CPU of the UI process over idle seconds after the service page (the shell's polling runs).

Needs a display and a session bus; `bench/run-launch-benchmark` provides both. Figures only; no
pass or fail. Usage: bench/launch-against-webkit.py [path/to/Taviro.app] [launches] [idle seconds]
"""
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from host_support import (build_minimal_host, cpu_seconds, descendants, environment, pss_kib, read, start_service,
                          status_kib, CONNECTING_PAGE)

HERE = os.path.dirname(os.path.abspath(__file__))
package = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build", "Taviro.app")
launches = int(sys.argv[2]) if len(sys.argv) > 2 else 7
idle_seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 60.0
CONNECTING, REFERENCE = "正在连接本地服务", "Taviro 参考本地服务"


def watch(command, env, trace, marks, work, measure_idle, extra_tree=()):
    """Starts `command`, polls every millisecond for the marks (name -> predicate on the trace text
    and the time), then measures memory and, when asked, idle CPU."""
    start = time.monotonic()
    process = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    seen = {}
    try:
        while len(seen) < len(marks):
            if time.monotonic() - start > 60:
                raise SystemExit(f"{command[0]}: never reached {sorted(set(marks) - set(seen))}")
            text = read(trace)
            for name, predicate in marks.items():
                if name not in seen and predicate(text):
                    seen[name] = time.monotonic() - start
            time.sleep(0.001)
        time.sleep(2.0)  # let the page settle
        tree = [process.pid] + descendants(process.pid) + list(extra_tree)
        figures = dict(seen, rss=status_kib(process.pid, "VmRSS") / 1024, pss=sum(map(pss_kib, tree)) / 1024)
        if measure_idle:
            before = cpu_seconds(process.pid)
            time.sleep(idle_seconds)
            figures["idle_cpu"] = (cpu_seconds(process.pid) - before) / idle_seconds * 100
        return figures
    finally:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def shown(heading):
    return lambda text: "\t" + heading + "\n" in text


def first_page(text):
    return "finished " in text


def shell_launch(measure_idle):
    work = tempfile.mkdtemp(prefix="taviro-bench-")
    try:
        trace = os.path.join(work, "trace.txt")
        log = os.path.join(work, "home", ".ostrelin-video-web", "desktop-service.log")
        listened = {}

        def service_listening(text):
            # The service's own line in the desktop log; the trace does not carry it.
            if "listening" not in listened and "vorda-web-server listening on" in read(log):
                listened["listening"] = True
                return True
            return "listening" in listened

        env = dict(environment(work), TAVIRO_WEBVIEW_TRACE=trace)
        figures = watch([os.path.join(package, "Contents", "MacOS", "Taviro")], env, trace,
                        {"first": first_page, "listening": service_listening, "service": shown(REFERENCE)},
                        work, measure_idle)
        figures["listening_to_page"] = figures["service"] - figures["listening"]
        return figures
    finally:
        shutil.rmtree(work, ignore_errors=True)


def minimal_launch(host, measure_idle):
    work = tempfile.mkdtemp(prefix="taviro-bench-minimal-")
    service = None
    try:
        service, port, to_listen = start_service(work)
        page = os.path.join(work, "connecting.html")
        with open(page, "w", encoding="utf-8") as f:
            f.write(CONNECTING_PAGE)
        trace = os.path.join(work, "trace.txt")
        figures = watch([host, page, f"http://127.0.0.1:{port}/", trace], environment(work), trace,
                        {"first": first_page, "service": shown(REFERENCE)}, work, measure_idle,
                        extra_tree=[service.pid])
        figures["service_listen"] = to_listen
        return figures
    finally:
        if service:
            service.terminate()
            service.wait(10)
        shutil.rmtree(work, ignore_errors=True)


def main():
    load = os.getloadavg()[0]
    scratch = tempfile.mkdtemp(prefix="taviro-bench-host-")
    try:
        host = build_minimal_host(scratch)
        shell, minimal = [], []
        for index in range(launches):  # alternating, so that a busy moment weighs on both alike
            shell.append(shell_launch(measure_idle=index == 0))
            minimal.append(minimal_launch(host, measure_idle=index == 0))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    def median(results, key, scale=1.0):
        return statistics.median(r[key] * scale for r in results if key in r)

    print(f"launches: {launches} each, alternating; load average before the run: {load:.2f}")
    print(f"{'':46}{'shell':>10}{'minimal':>10}{'ratio':>8}")
    for label, key, scale in [("start -> first page shown (ms)", "first", 1000),
                              ("start -> service page shown (ms)", "service", 1000),
                              ("UI process resident memory (MiB)", "rss", 1),
                              ("whole tree proportional memory (MiB)", "pss", 1),
                              (f"UI process CPU over {idle_seconds:.0f} idle s (% of a core)", "idle_cpu", 1)]:
        a, b = median(shell, key, scale), median(minimal, key, scale)
        print(f"{label:46}{a:10.1f}{b:10.1f}{a / b if b else float('nan'):8.2f}")
    print(f"shell: service listening -> service page shown (ms): {median(shell, 'listening_to_page', 1000):.1f}")
    print(f"reference service: start -> listening (ms): {median(minimal, 'service_listen', 1000):.1f}")
    print("minimal host: its service was listening before it started")


if __name__ == "__main__":
    main()
