#!/usr/bin/env python3
"""Verifies a maximal feature pack through the packaged executable and reports its time as a ratio
to sha256sum over the same bytes (the archive plus every unpacked file), measured in the same run.

Usage: bench/verify-feature-pack.py [path/to/Taviro.app] [runs]
"""
import base64, hashlib, json, os, random, statistics, subprocess, sys, tempfile, time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
package = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "Taviro.app")
runs = int(sys.argv[2]) if len(sys.argv) > 2 else 7
executable = os.path.join(package, "Contents", "MacOS", "Taviro")

MAX_EXPANDED = 26_214_400
MAX_ARCHIVE = 10_485_760
ASSETS = 195  # + 3 required files + manifest + signature = 200 entries


def run(*args, **kwargs):
    return subprocess.run(args, check=True, capture_output=True, **kwargs)


def build_pack(work):
    source = os.path.join(work, "pack")
    os.makedirs(os.path.join(source, "assets"))
    rng = random.Random(7)
    asset_size = (MAX_EXPANDED - 4096) // ASSETS
    random_part = int(asset_size * 0.385)  # the rest is zeros: an archive just under its limit
    files = {
        "ui.json": b'{"title": "\xe6\xb7\xb7\xe5\x89\xaa"}',
        "ui-overrides.css": b".toolbar { background: url(assets/0.png); }",
        "generation_rules.json": b'{"rules": []}',
    }
    for i in range(ASSETS):
        files[f"assets/{i}.png"] = rng.randbytes(random_part) + bytes(asset_size - random_part)
    entries = []
    for path, content in files.items():
        with open(os.path.join(source, path), "wb") as f:
            f.write(content)
        entries.append({"path": path, "size": len(content), "sha256": hashlib.sha256(content).hexdigest()})
    manifest = json.dumps({
        "schema_version": 1, "component": "ui-rules", "version": "9.0.0", "revision": 9,
        "key_id": "feature-pack-ed25519-v1", "engine_api": 1, "min_app_version": "1.0.0",
        "max_app_version_exclusive": "2.0.0", "created_at": "2026-12-07T00:00:00Z", "files": entries,
    }).encode()
    with open(os.path.join(source, "manifest.json"), "wb") as f:
        f.write(manifest)

    # A key pair for this run only.
    private = os.path.join(work, "private.pem")
    run("openssl", "genpkey", "-algorithm", "ed25519", "-out", private)
    public_der = run("openssl", "pkey", "-in", private, "-pubout", "-outform", "DER").stdout
    key_file = os.path.join(work, "key.json")
    with open(key_file, "w") as f:
        json.dump({"key_id": "feature-pack-ed25519-v1", "public_key_raw_base64": base64.b64encode(public_der[-32:]).decode()}, f)
    signature = run("openssl", "pkeyutl", "-sign", "-inkey", private, "-rawin",
                    "-in", os.path.join(source, "manifest.json")).stdout
    with open(os.path.join(source, "manifest.sig"), "w") as f:
        f.write(base64.b64encode(signature).decode() + "\n")

    archive = os.path.join(work, "pack.zip")
    run("/usr/bin/bsdtar", "--format", "zip", "-cf", archive, "-C", source, ".")
    return source, archive, key_file, [os.path.join(source, p) for p in files]


def median_seconds(command, env=None):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run(command, check=True, capture_output=True, env=env)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    with tempfile.TemporaryDirectory(prefix="taviro-bench-") as work:
        source, archive, key_file, files = build_pack(work)
        archive_size = os.path.getsize(archive)
        expanded = sum(os.path.getsize(f) for f in files)
        if archive_size > MAX_ARCHIVE or expanded > MAX_EXPANDED:
            sys.exit(f"pack exceeds the limits: archive {archive_size}, expanded {expanded}")
        digest = hashlib.sha256(open(archive, "rb").read()).hexdigest()
        env = dict(os.environ, VORDA_FEATURE_PUBLIC_KEY=key_file,
                   VORDA_FEATURE_PACK_TEST_ROOT=os.path.join(work, "store"))
        command = [executable, "--verify-feature-pack", archive, "9.0.0", "9", digest]
        check = subprocess.run(command, capture_output=True, text=True, env=env)
        if check.returncode != 0:
            sys.exit(f"verification failed: {check.stderr.strip()}")

        # Page cache warm for both sides before timing.
        median_seconds(["sha256sum", archive, *files])
        verify = median_seconds(command, env)
        baseline = median_seconds(["sha256sum", archive, *files])
        print(f"pack: {len(files) + 2} entries, {expanded} bytes unpacked, archive {archive_size} bytes")
        print(f"verify-feature-pack median of {runs}: {verify * 1000:.1f} ms")
        print(f"sha256sum over archive + files median of {runs}: {baseline * 1000:.1f} ms")
        print(f"ratio: {verify / baseline:.2f} (goal: at most 1.5)")


main()
