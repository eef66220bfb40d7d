#!/usr/bin/env python3
"""The shipped artifacts of dist/ (scripts/release), installed as a player
would: the Windows installer silently under Wine in a fresh prefix, the .deb
with dpkg (root only). Each install runs, and its removal leaves nothing of
it behind."""
import argparse
import glob
import hashlib
import os
import subprocess
import sys
import time
import unittest
import zipfile
import zlib

from PIL import Image, ImageChops

import harness
from harness import Launcher, ScriptedServer, ok

ARGS = None
UNINSTALL_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall"


def artifact(pattern):
    found = glob.glob(os.path.join(ARGS.dist, pattern))
    if len(found) != 1:
        raise AssertionError(f"{pattern}: expected one artifact, found {found}")
    return found[0]


def version_value(exe, key):
    """A VERSIONINFO string of a PE file: the UTF-16 key, alignment padding,
    then the value up to its terminating NUL."""
    at = exe.find((key + "\0").encode("utf-16-le"))
    if at < 0:
        return None
    at += 2 * (len(key) + 1)
    while exe[at:at + 2] == b"\0\0":
        at += 2
    end = at
    while exe[end:end + 2] != b"\0\0":
        end += 2
    return exe[at:end].decode("utf-16-le")


def game_server():
    """A server with a one-file game; the caller stops it."""
    data = b"the game's only file\n"
    server = ScriptedServer()
    server.replies["/q//catalog.php"] = [ok(
        f"FILE\ndata.bin\n{len(data)}\n{zlib.crc32(data):8X}\ndata.bin\n\n\n".encode())]
    server.replies["/q//data.bin"] = [ok(data)]
    return server


class Checksums(unittest.TestCase):
    def test_every_artifact_is_listed_and_matches(self):
        with open(os.path.join(ARGS.dist, "SHA256SUMS")) as f:
            listed = dict(reversed(line.split(None, 1)) for line in f.read().splitlines())
        names = sorted(n for n in os.listdir(ARGS.dist) if n != "SHA256SUMS")
        self.assertEqual(sorted(n.strip().lstrip("*") for n in listed), names)
        for name, digest in listed.items():
            with open(os.path.join(ARGS.dist, name.strip().lstrip("*")), "rb") as f:
                self.assertEqual(hashlib.sha256(f.read()).hexdigest(), digest)

    def test_portable_zip_holds_the_programs_and_licences(self):
        with zipfile.ZipFile(artifact("*-windows-i686.zip")) as z:
            names = set(z.namelist())
            self.assertEqual(names, {ARGS.slug + ".exe", "quorvelctl.exe", "LICENSE.txt",
                                     "THIRD-PARTY.md", "LGPL-2.1.txt", "README.txt"})
            launcher = z.read(ARGS.slug + ".exe")
        # The version resource names the product and the version.
        self.assertEqual(version_value(launcher, "ProductVersion"), ARGS.version)
        self.assertEqual(version_value(launcher, "ProductName"), ARGS.product)


class WindowsInstaller(unittest.TestCase):
    def setUp(self):
        if os.environ.get("QUORVEL_NO_I386"):
            self.skipTest("this machine cannot run 32-bit programs, so Wine cannot start the installer")
        self.tmp = harness.scratch_dir(self, "quorvel_package_")
        self.env = dict(os.environ, WINEPREFIX=os.path.join(self.tmp, "prefix"),
                        WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        self.addCleanup(lambda: subprocess.run(["wineserver", "-k"], env=self.env,
                                               capture_output=True))

    def wine(self, *args, timeout=300):
        return subprocess.run(["wine", *args], env=self.env, capture_output=True,
                              timeout=timeout)

    def users(self, *parts):
        return glob.glob(os.path.join(self.env["WINEPREFIX"], "drive_c", "users", "*", *parts))

    def test_silent_install_runs_and_quiet_uninstall_removes_it(self):
        setup = artifact("*-setup.exe")
        self.assertEqual(self.wine(setup, "/S").returncode, 0)
        subprocess.run(["wineserver", "-w"], env=self.env, timeout=120)
        [folder] = self.users("AppData", "Local", "Programs", ARGS.product)
        self.assertEqual(sorted(os.listdir(folder)), sorted([
            ARGS.slug + ".exe", "quorvelctl.exe", "uninstall.exe", "LICENSE.txt",
            "THIRD-PARTY.md", "LGPL-2.1.txt", "README.txt"]))
        [shortcut] = self.users("AppData", "Roaming", "Microsoft", "Windows", "Start Menu",
                                "Programs", ARGS.product + ".lnk")
        self.assertFalse(self.users("Desktop", ARGS.product + ".lnk"), "desktop shortcut is opt-in")
        entry = self.wine("reg", "query", f"{UNINSTALL_KEY}\\{ARGS.slug}").stdout.decode("latin-1")
        self.assertIn("QuietUninstallString", entry)
        self.assertIn(ARGS.version, entry)

        # The installed launcher updates a game and reaches Play.
        server = game_server()
        self.addCleanup(server.stop)
        installed = os.path.join(folder, ARGS.slug + ".exe")
        programs = harness.Programs(installed, installed, installed, runner="wine")
        launcher = Launcher(programs, os.path.join(self.tmp, "appdata"), server.base,
                            extra_env={k: self.env[k] for k in ("WINEPREFIX", "WINEDEBUG",
                                                                "WINEDLLOVERRIDES")})
        self.addCleanup(launcher.kill)
        window = harness.find_window(launcher, timeout=120)
        launcher.wait_for_line("Listo para jugar!", timeout=120)
        harness.close_window(window)
        self.assertEqual(launcher.wait(timeout=60), 0, launcher.lines())
        self.assertIn("/q//data.bin", server.paths())

        # The quiet uninstall: the uninstaller copies itself away and returns
        # at once, so its work is waited for.
        self.wine(os.path.join(folder, "uninstall.exe"), "/S")
        deadline = time.monotonic() + 120
        while os.path.exists(folder) and time.monotonic() < deadline:
            time.sleep(0.5)
        subprocess.run(["wineserver", "-w"], env=self.env, timeout=120)
        self.assertFalse(os.path.exists(folder))
        self.assertFalse(os.path.exists(shortcut))
        self.assertNotEqual(self.wine("reg", "query", f"{UNINSTALL_KEY}\\{ARGS.slug}").returncode, 0)


class BrandedBuild(unittest.TestCase):
    """A build configured with tests/data/brand: its title, its data folder,
    and its own logo where the built-in one was, every other pixel as before."""

    LOGO_BOX = (50, 50, 350, 125)  # where the Checking screen draws the logo

    def test_title_data_folder_and_picture(self):
        if not ARGS.branded_launcher:
            self.skipTest("runs with --branded-launcher")
        tmp = harness.scratch_dir(self, "quorvel_brand_")
        server = ScriptedServer()
        self.addCleanup(server.stop)
        server.replies["/q//catalog.php"] = [None]  # the Checking screen stays
        programs = harness.Programs(ARGS.branded_launcher, ARGS.branded_launcher,
                                    ARGS.branded_launcher)
        launcher = Launcher(programs, os.path.join(tmp, "appdata"), server.base)
        self.addCleanup(launcher.kill)
        window = harness.find_window(launcher, title="Starfall Test Launcher")
        launcher.wait_for_line(f"Fetching Catalog: {server.base}/catalog.php")
        self.assertEqual(os.listdir(os.path.join(tmp, "appdata")), ["StarfallTest"])
        harness.move_away(window)
        time.sleep(1.0)
        shot = Image.open(harness.screenshot(window, os.path.join(tmp, "shot.png"))).convert("RGB")
        harness.close_window(window)
        self.assertEqual(launcher.wait(timeout=30), 0, launcher.lines())

        golden = os.path.join(ARGS.source, "tests", "golden")
        built_in = Image.open(os.path.join(golden, "screens", "checking.png")).convert("RGB")
        changed = ImageChops.difference(shot, built_in).getbbox()
        self.assertIsNotNone(changed, "the brand's logo is not shown")
        self.assertTrue(changed[0] >= self.LOGO_BOX[0] and changed[1] >= self.LOGO_BOX[1] and
                        changed[2] <= self.LOGO_BOX[2] and changed[3] <= self.LOGO_BOX[3], changed)
        reviewed = os.path.join(golden, "branded", "checking.png")
        if (not os.path.exists(reviewed) or ImageChops.difference(
                shot, Image.open(reviewed).convert("RGB")).getbbox() is not None):
            actual = os.path.join(ARGS.source, "build", "branded-checking-actual.png")
            shot.save(actual)
            self.fail(f"the branded Checking screen is not {reviewed}; see {actual}")


class DebianPackage(unittest.TestCase):
    def test_install_run_and_remove(self):
        if os.geteuid() != 0:
            self.skipTest("dpkg -i needs root")
        deb = artifact("*.deb")
        subprocess.run(["dpkg", "-r", ARGS.slug], capture_output=True)
        subprocess.run(["dpkg", "-i", deb], check=True, capture_output=True)
        try:
            files = subprocess.run(["dpkg", "-L", ARGS.slug], check=True, capture_output=True,
                                   text=True).stdout.split()
            self.assertIn(f"/usr/bin/{ARGS.slug}", files)
            self.assertIn(f"/usr/share/applications/{ARGS.slug}.desktop", files)
            self.assertIn(f"/usr/share/icons/hicolor/48x48/apps/{ARGS.slug}.png", files)
            self.assertIn(f"/usr/share/doc/{ARGS.slug}/THIRD-PARTY.md", files)
            version = subprocess.run(["/usr/bin/quorvelctl", "--version"], capture_output=True,
                                     text=True)
            self.assertEqual(version.stdout, f"quorvelctl {ARGS.version}\n")
            # Without a display the launcher says so and exits 1.
            env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
            env["HOME"] = harness.scratch_dir(self, "quorvel_deb_home_")
            headless = subprocess.run([f"/usr/bin/{ARGS.slug}", "http://127.0.0.1:9/"],
                                      capture_output=True, env=env, timeout=60)
            self.assertEqual(headless.returncode, 1, headless)
            self.assertTrue(headless.stderr.strip(), "a line says why")
        finally:
            subprocess.run(["dpkg", "-r", ARGS.slug], check=True, capture_output=True)
        left = [f for f in files if os.path.isfile(f)]
        self.assertEqual(left, [])


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--dist", required=True)
    parser.add_argument("--product", required=True)
    parser.add_argument("--slug", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--branded-launcher", default="")
    parser.add_argument("--source", default=os.path.join(os.path.dirname(__file__), "..", ".."))
    ARGS, rest = parser.parse_known_args()
    harness.ensure_display()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
