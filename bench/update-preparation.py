#!/usr/bin/env python3
"""Prepares a ~100 MB release through the self-update flow (taviro_update_preparation_bench) and
reports its time as a ratio to curl + sha256sum + bsdtar over the same bytes from the same local
update server, measured in the same run, with the longest stall of the shell's main loop.

Build the target first: cmake --build build --target taviro_update_preparation_bench
Usage: bench/update-preparation.py [path/to/Taviro.app] [runs]
"""
import hashlib, json, os, re, shutil, statistics, subprocess, sys, tempfile, time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
package = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "Taviro.app")
runs = int(sys.argv[2]) if len(sys.argv) > 2 else 7
bench = os.environ.get("TAVIRO_UPDATE_BENCH", os.path.join(ROOT, "build", "bench", "taviro_update_preparation_bench"))
SERVER = os.path.join(ROOT, "tests", "support", "update-server.py")
PUBLISH = os.path.join(ROOT, "build", "publish", "taviro-publish")
RELEASE_BYTES = 100_000_000
NAME = "Taviro-9.9.9.zip"


def run(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True)


def publish(copy, archive):
    """The package `copy` as release 9.9.9 at `archive`, made by the publishing tool."""
    plist = os.path.join(copy, "Contents", "Info.plist")
    with open(plist) as f:
        text = re.sub(r"(<key>CFBundleShortVersionString</key>\s*<string>)[^<]*", r"\g<1>9.9.9", f.read())
    with open(plist, "w") as f:
        f.write(text)
    out = os.path.join(os.path.dirname(copy), "published")
    shutil.rmtree(out, ignore_errors=True)
    made = run(PUBLISH, "release", copy, "--out", out).stdout.splitlines()[0]
    os.replace(made, archive)


def make_release(work, archive):
    copy = os.path.join(work, "package", "Taviro.app")
    shutil.copytree(package, copy, symlinks=True)
    publish(copy, archive)
    # Random bytes do not compress: the padding makes up whatever the package's own zip lacks.
    with open(os.path.join(copy, "Contents", "padding.bin"), "wb") as f:
        f.write(os.urandom(max(0, RELEASE_BYTES - os.path.getsize(archive))))
    os.remove(archive)
    publish(copy, archive)
    shutil.rmtree(os.path.dirname(copy))
    digest = hashlib.sha256()
    with open(archive, "rb") as f:
        while chunk := f.read(1 << 20):
            digest.update(chunk)
    return digest.hexdigest()


def start_server(root):
    port_file = os.path.join(root, "port")
    server = subprocess.Popen([sys.executable, SERVER, "serve", root, "--port-file", port_file])
    for _ in range(400):
        if os.path.exists(port_file):
            with open(port_file) as f:
                return server, "http://127.0.0.1:" + f.read().strip()
        time.sleep(0.025)
    server.terminate()
    sys.exit("the update server did not start")


def ours(work, origin):
    folder = tempfile.mkdtemp(dir=work)
    try:
        done = subprocess.run([bench, origin, folder], capture_output=True, text=True)
        if done.returncode != 0:
            sys.exit(f"the update did not get ready: {done.stdout.strip()} {done.stderr.strip()}")
        return json.loads(done.stdout.splitlines()[-1])
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def baseline(work, url, digest):
    folder = tempfile.mkdtemp(dir=work)
    try:
        archive, staged = os.path.join(folder, NAME), os.path.join(folder, "staged")
        os.mkdir(staged)
        start = time.perf_counter()
        run("curl", "-s", "--noproxy", "127.0.0.1", "-o", archive, url)
        summed = run("sha256sum", archive).stdout.split()[0]
        run("bsdtar", "-x", "-f", archive, "-C", staged)
        elapsed = time.perf_counter() - start
        if summed != digest:
            sys.exit("the baseline download does not match the release's digest")
        return elapsed
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def main():
    if not os.access(bench, os.X_OK):
        sys.exit(f"{bench} is missing: cmake --build build --target taviro_update_preparation_bench")
    with tempfile.TemporaryDirectory(prefix="taviro-bench-") as work:
        root = os.path.join(work, "server")
        os.makedirs(os.path.join(root, "downloads"))
        archive = os.path.join(root, "downloads", NAME)
        digest = make_release(work, archive)
        server, origin = start_server(root)
        try:
            url = origin + "/downloads/" + NAME
            with open(os.path.join(root, "answer.json"), "w") as f:
                json.dump({"update_available": True,
                           "release": {"version": "9.9.9", "download_url": url, "signature": digest}}, f)
            baseline(work, url, digest)  # page cache warm for both sides before timing
            results, baselines = [], []
            for _ in range(runs):
                results.append(ours(work, origin))
                baselines.append(baseline(work, url, digest))
        finally:
            server.terminate()
            server.wait()
        prepared = statistics.median(r["prepare_seconds"] for r in results)
        reference = statistics.median(baselines)
        print(f"release: {os.path.getsize(archive)} bytes, runs: {runs}")
        print(f"update preparation (download, digest, unpack) median: {prepared * 1000:.1f} ms")
        print(f"curl + sha256sum + bsdtar median: {reference * 1000:.1f} ms")
        print(f"ratio: {prepared / reference:.2f} (goal: at most 1.2)")
        print(f"longest main-loop stall across runs: {max(r['longest_stall_ms'] for r in results):.2f} ms")


main()
