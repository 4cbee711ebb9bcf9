#!/usr/bin/env python3
"""Taviro as a desktop user meets it: installed for one user, installed from the Debian package, and
run under a Wayland compositor. Run by CTest inside dbus-run-session and xvfb-run; TAVIRO_BUILD_DIR
names the build whose package and desktop files are installed."""
import os
import pathlib
import re
import shutil
import signal
import subprocess
import tempfile
import unittest

from test_windowed_app import REFERENCE, Shell, read_lines, serve_updates, wait_for

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ["TAVIRO_BUILD_DIR"]
APP_ID = "com.taviro.desktop"
DESKTOP_FILES = [f"applications/{APP_ID}.desktop", f"metainfo/{APP_ID}.metainfo.xml", f"icons/hicolor/scalable/apps/{APP_ID}.svg"] + [
    f"icons/hicolor/{size}x{size}/apps/{APP_ID}.png" for size in (48, 128, 256)]
# Debian 12's validator knows the entry format up to 1.4; this key came with 1.5.
OLDER_VALIDATOR = re.compile(r'.*: error: file contains key "SingleMainWindow" in group "Desktop Entry".*')


def tree(folder):
    return sorted(os.path.relpath(os.path.join(top, name), folder)
                  for top, dirs, files in os.walk(folder) for name in dirs + files)


def run(*command, env=None):
    return subprocess.run(command, capture_output=True, text=True, env=env)


def project_version():
    with open(os.path.join(BUILD, "CMakeCache.txt")) as cache:
        return next(line.split("=", 1)[1].strip() for line in cache if line.startswith("CMAKE_PROJECT_VERSION:"))


class DesktopIntegration(unittest.TestCase):
    def validate(self, share):
        found = run("desktop-file-validate", os.path.join(share, DESKTOP_FILES[0]))
        self.assertEqual([line for line in found.stdout.splitlines() if not OLDER_VALIDATOR.fullmatch(line)], [], found.stdout)
        found = run("appstreamcli", "validate", "--no-net", "--pedantic", os.path.join(share, DESKTOP_FILES[1]))
        self.assertEqual(found.returncode, 0, found.stdout + found.stderr)

    def launch(self, shell, env=None):
        shell.env.update(env or {})
        shell.start()
        self.assertTrue(shell.wait_for_heading(REFERENCE, 40), (shell.finished(), read_lines(shell.output.name)))

    def quit(self, shell):
        shell.process.send_signal(signal.SIGTERM)
        self.assertEqual(shell.wait_exit(), 0)

    def test_a_per_user_install_runs_from_the_menu_entry_and_uninstalls_without_the_users_data(self):
        home = tempfile.mkdtemp(prefix="taviro-home-")
        self.addCleanup(shutil.rmtree, home, True)
        share = os.path.join(home, ".local", "share")
        os.makedirs(os.path.join(share, "applications"))
        with open(os.path.join(share, "applications", "other.desktop"), "w") as f:
            f.write("not ours\n")
        before = tree(home)
        env = dict(os.environ, HOME=home)
        env.pop("XDG_DATA_HOME", None)
        trees = []
        for _ in range(2):  # the second install is the same as the first
            self.assertEqual(run(os.path.join(SOURCE, "scripts", "install"), BUILD, env=env).returncode, 0)
            trees.append(tree(home))
        installed = trees[0]
        self.assertEqual(trees[1], installed)
        self.assertTrue(all(os.path.isfile(os.path.join(share, f)) for f in DESKTOP_FILES))
        self.validate(share)
        package = os.path.join(share, "Taviro", "Taviro.app")
        entry = dict(line.split("=", 1) for line in read_lines(os.path.join(share, DESKTOP_FILES[0])) if "=" in line)
        self.assertEqual(entry["Exec"], '"%s"' % os.path.join(package, "Contents", "MacOS", "Taviro"))

        # Started as the menu would, its window carries the class the entry names.
        shell = Shell(self, installed=package)
        shell.home = home
        self.launch(shell, {"HOME": home, "XDG_DATA_HOME": share})
        windows = run("xdotool", "search", "--class", "^%s$" % entry["StartupWMClass"]).stdout.split()
        self.assertTrue(windows, "no window of class " + entry["StartupWMClass"])
        self.quit(shell)
        user_data = [p for p in tree(home) if p not in installed]
        self.assertIn(".ostrelin-video-web", user_data)

        # The packs and updates folders keep the one that holds them.
        kept = set(before) | set(user_data) | {os.path.dirname(p) for p in user_data if p.startswith(".local/share/Taviro/")}
        for _ in range(2):  # uninstalling twice is fine too
            self.assertEqual(run(os.path.join(SOURCE, "scripts", "uninstall"), env=env).returncode, 0)
            self.assertEqual(tree(home), sorted(kept))
        self.assertEqual(run(os.path.join(SOURCE, "scripts", "uninstall"), "--purge", env=env).returncode, 0)
        self.assertEqual(tree(home), sorted(p for p in kept if not p.startswith((".ostrelin-video-web", ".local/share/Taviro"))))

    @unittest.skipUnless(os.geteuid() == 0, "installing a Debian package needs root")
    def test_the_debian_package_installs_runs_and_leaves_updates_to_the_package_manager(self):
        if run("dpkg-query", "-W", "taviro").returncode == 0:
            self.skipTest("a taviro package is installed on this machine already")
        made = run(os.path.join(SOURCE, "scripts", "package"), BUILD)
        self.assertEqual(made.returncode, 0, made.stderr)
        deb = made.stdout.strip()
        fields = dict(line.split(": ", 1) for line in run("dpkg-deb", "-f", deb).stdout.splitlines() if ": " in line)
        self.assertEqual((fields["Package"], fields["Version"]), ("taviro", project_version()))
        for dependency in ("libwebkit2gtk-4.1-0", "libgtk-3-0", "libcurl3-gnutls", "python3", "libarchive-tools", "bubblewrap",
                           "fonts-noto-cjk"):
            self.assertIn(dependency, fields["Depends"])
        files = [line.split()[-1] for line in run("dpkg-deb", "-c", deb).stdout.splitlines()]
        self.assertIn("./opt/taviro/Taviro.app/Contents/MacOS/Taviro", files)
        self.assertTrue(set("./usr/share/" + f for f in DESKTOP_FILES) <= set(files))
        self.assertEqual([f for f in files if not f.startswith(("./opt/taviro/", "./usr/share/")) and f not in
                          ("./", "./opt/", "./usr/", "./usr/share/", "./usr/bin/", "/opt/taviro/Taviro.app/Contents/MacOS/Taviro")], [])
        # Pedantic too: nothing to explain away but the override for /opt that the package carries.
        lintian = run("lintian", "--allow-root", "--pedantic", "--fail-on", "error,warning,info,pedantic", deb)
        self.assertEqual(lintian.returncode, 0, lintian.stdout + lintian.stderr)
        first = pathlib.Path(deb).read_bytes()
        self.assertEqual(run(os.path.join(SOURCE, "scripts", "package"), BUILD).stdout.strip(), deb)
        self.assertTrue(pathlib.Path(deb).read_bytes() == first, "packaged twice, the .deb differs")

        self.addCleanup(run, "dpkg", "--purge", "taviro")
        installed = run("dpkg", "-i", deb)
        self.assertEqual(installed.returncode, 0, installed.stdout + installed.stderr)
        self.validate("/usr/share")
        self.assertEqual(run("taviro", "--version").stdout, f"Taviro {project_version()}\n")
        # A newer release is offered; the package manager's copy is not the self-update's to replace.
        origin = serve_updates(self, "99.0.0")
        shell = Shell(self, installed="/opt/taviro/Taviro.app")
        self.launch(shell, {"VORDA_API_ORIGIN": origin})
        self.assertTrue(wait_for(lambda: shell.update_reports(), 30), shell.log())
        self.assertEqual([(r["state"], r["version"]) for r in shell.update_reports()], [("fallback", "99.0.0")])
        self.quit(shell)
        self.assertEqual(run("dpkg", "--purge", "taviro").returncode, 0)
        self.assertFalse(os.path.exists("/opt/taviro"))

    def test_the_service_page_shows_under_a_wayland_compositor(self):
        runtime = tempfile.mkdtemp(prefix="taviro-wayland-")
        self.addCleanup(shutil.rmtree, runtime, True)
        os.chmod(runtime, 0o700)
        compositor = subprocess.Popen(["weston", "--backend=headless-backend.so", "--socket=taviro", "--idle-time=0"],
                                      env=dict(os.environ, XDG_RUNTIME_DIR=runtime), stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)
        self.addCleanup(compositor.wait)
        self.addCleanup(compositor.terminate)
        self.assertTrue(wait_for(lambda: os.path.exists(os.path.join(runtime, "taviro")), 10))
        shell = Shell(self)
        del shell.env["DISPLAY"]
        self.launch(shell, {"GDK_BACKEND": "wayland", "WAYLAND_DISPLAY": "taviro", "XDG_RUNTIME_DIR": runtime})
        self.quit(shell)


if __name__ == "__main__":
    unittest.main(verbosity=2)
