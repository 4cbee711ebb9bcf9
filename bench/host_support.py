"""What the benchmarks share: the minimal WebKitGTK host, the reference service started on its own,
and readings of a process from /proc."""
import os
import socket
import subprocess
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SERVICE = os.path.join(HERE, "..", "reference-service", "vorda-web-server", "vorda-web-server")
TICKS = os.sysconf("SC_CLK_TCK")
# Of the same size and make as the shell's own connecting page.
CONNECTING_PAGE = """<!doctype html><html lang="zh-CN"><head><meta charset="utf-8"><style>
body { margin: 0; font-family: sans-serif; background: #f6f7f4; color: #20231f; }
main { max-width: 760px; margin: 120px auto; background: white; border: 1px solid #dfe3db; border-radius: 12px; padding: 32px; }
h1 { margin: 0 0 12px; font-size: 26px; } p { line-height: 1.7; color: #6d736b; }
</style></head><body><main><h1>正在连接本地服务</h1><p>Taviro正在启动本机服务。连接成功后会自动进入工具页面，不需要手动点击。</p></main></body></html>"""


def read(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def status_kib(pid, key):
    for line in read(f"/proc/{pid}/status").splitlines():
        if line.startswith(key + ":"):
            return int(line.split()[1])
    return 0


def pss_kib(pid):
    for line in read(f"/proc/{pid}/smaps_rollup").splitlines():
        if line.startswith("Pss:"):
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


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def listening(port):
    with socket.socket() as probe:
        return probe.connect_ex(("127.0.0.1", port)) == 0


def start_service(work):
    """The reference service on a port of its own; returns (process, port, seconds to listen)."""
    port = free_port()
    env = dict(os.environ, VORDA_PORT=str(port), VORDA_DATA_ROOT=os.path.join(work, "service-data"))
    start = time.monotonic()
    service = subprocess.Popen([SERVICE], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    while not listening(port):
        if time.monotonic() - start > 20:
            raise SystemExit("the reference service never listened")
        time.sleep(0.001)
    return service, port, time.monotonic() - start


def environment(work):
    home = os.path.join(work, "home")
    os.makedirs(home, exist_ok=True)
    return dict(os.environ, HOME=home, XDG_DATA_HOME=os.path.join(work, "data"), XDG_CONFIG_HOME=os.path.join(work, "config"),
                XDG_CACHE_HOME=os.path.join(work, "cache"), WEBKIT_DISABLE_COMPOSITING_MODE="1")


def build_minimal_host(folder):
    host = os.path.join(folder, "minimal-host")
    flags = subprocess.run(["pkg-config", "--cflags", "--libs", "webkit2gtk-4.1"], capture_output=True, text=True, check=True)
    subprocess.run(["cc", "-O2", "-o", host, os.path.join(HERE, "minimal-host.c")] + flags.stdout.split(), check=True)
    return host
