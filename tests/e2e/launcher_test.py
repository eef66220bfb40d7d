#!/usr/bin/env python3
"""The launcher end to end: real servers on 127.0.0.1, the real program in a
real window under Xvfb (the Windows build under Wine), clicked and closed like
a person would, with its console lines, exit codes, data directory and the
requests the server received checked.
"""
import argparse
import os
import shutil
import sys
import time
import unittest
import zlib

from PIL import Image, ImageChops

import harness
from harness import Launcher, Nginx, PhpServer, ScriptedServer, ok

ARGS = None
PROGRAMS = None
GOLDEN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "golden", "screens")

BUTTON_CENTRE = (200, 312)


def record(kind, name, data, url=None):
    return f"{kind}\n{url or name}\n{len(data)}\n{zlib.crc32(data):8X}\n{name}\n\n\n"


class Game:
    """A small game: an executable (the demo game), notes, data files in
    sub-folders."""

    def __init__(self, root):
        self.root = root
        with open(PROGRAMS.game, "rb") as f:
            exe = f.read()
        self.exe_name = "game.exe" if PROGRAMS.windows else "game"
        self.files = {
            self.exe_name: exe,
            "notes.txt": b"Quorvel 1.2\r\nNew forest map\r\nFaster loading\r\n",
            "maps/forest.map": bytes((i * 7 + (i >> 8)) & 255 for i in range(40000)),
            "maps/deep/cave.map": b"cave" * 1000,
            "a.pak": os.urandom(20000),
            # A CRC-32 with leading zero digits (0x000E019B): written blank-padded.
            "zero.dat": b"leading zero 249",
        }
        for name, data in self.files.items():
            path = os.path.join(root, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)

    def catalog(self, line_end="\n"):
        text = ""
        for name in sorted(self.files):
            kind = "EXE" if name == self.exe_name else "NOTES" if name == "notes.txt" else "FILE"
            text += record(kind, name, self.files[name])
        return text.replace("\n", line_end).encode()


class LauncherTest(harness.ServerCase):
    def setUp(self):
        super().setUp()
        # A blank in the path, and a program where a command line split at
        # it would look first: the launcher must start the game itself.
        self.appdata = os.path.join(self.tmp, "John Smith", "appdata")
        self.data = os.path.join(self.appdata, "Quorvel")
        shutil.copy(PROGRAMS.game, os.path.join(self.tmp, "John.exe" if PROGRAMS.windows else "John"))

    # -- helpers --

    def start(self, base, *more):
        launcher = Launcher(PROGRAMS, self.appdata, base, *more)
        self.launchers.append(launcher)
        return launcher

    def server(self, server):
        self.servers.append(server)
        return server

    def install(self, game):
        """Puts a complete game with its catalog into the data directory."""
        os.makedirs(self.data, exist_ok=True)
        for name, data in game.files.items():
            path = os.path.join(self.data, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        with open(os.path.join(self.data, "catalog.txt"), "wb") as f:
            f.write(game.catalog())

    def read(self, name):
        with open(os.path.join(self.data, name), "rb") as f:
            return f.read()

    def close_and_expect_exit(self, launcher, window):
        harness.close_window(window)
        self.assertEqual(launcher.wait(timeout=30), 0, launcher.lines())

    def play_and_expect_game(self, launcher, window):
        launcher.wait_for_line("Listo para jugar!")
        time.sleep(0.3)
        harness.click(window, *BUTTON_CENTRE)
        self.assertEqual(launcher.wait(timeout=30), 0)
        note = os.path.join(self.data, "game-started.txt")
        deadline = time.monotonic() + 20
        while not os.path.exists(note) and time.monotonic() < deadline:
            time.sleep(0.1)
        time.sleep(0.3)
        with open(note) as f:
            started = dict(line.split("=", 1) for line in f.read().splitlines())
        def local(path):
            return os.path.normcase(path.replace("\\", "/").lower().removeprefix("z:"))

        self.assertEqual(local(started["cwd"]), local(self.data))
        self.assertEqual(started["argc"], "1", started)
        self.assertEqual(os.path.dirname(local(started["argv0"])), local(self.data), started)
        return started

    def check_screen(self, window, name, mask=()):
        """The window's pixels against a reviewed golden image; rectangles in
        mask (left, top, right, bottom) are not compared."""
        harness.move_away(window)
        time.sleep(0.5)
        shot = harness.screenshot(window, os.path.join(self.tmp, name + ".png"))
        actual = Image.open(shot).convert("RGB")
        self.assertEqual(actual.size, (400, 400))
        # The reviewed pictures are the composer's own (screens_tests writes
        # them); the window must show exactly those pixels.
        golden_path = os.path.join(GOLDEN, name + ".png")
        expected = Image.open(golden_path).convert("RGB")
        for box in mask:
            blank = Image.new("RGB", (box[2] - box[0], box[3] - box[1]))
            actual.paste(blank, box[:2])
            expected.paste(blank, box[:2])
        diff = ImageChops.difference(actual, expected)
        if diff.getbbox() is not None:
            out = os.path.join(ARGS.artifacts, f"{name}-{'win' if PROGRAMS.windows else 'linux'}")
            os.makedirs(ARGS.artifacts, exist_ok=True)
            actual.save(out + "-actual.png")
            diff.point(lambda v: 255 if v else 0).save(out + "-diff.png")
            self.fail(f"screen {name} differs from its golden image in {diff.getbbox()}; "
                      f"see {out}-actual.png")

    # -- cases --

    def test_unreachable_server_offers_retry_until_clicked_and_closed(self):
        base = f"http://127.0.0.1:{harness.free_port()}/quorvel/data/"
        launcher = self.start(base)
        window = harness.find_window(launcher)
        launcher.wait_for_line("Fallo de ficheros: Reintentando")
        fetching = f"Fetching Catalog: {base}/catalog.php"
        self.assertEqual(launcher.lines()[:2], [fetching, "Fallo de ficheros: Reintentando"])
        self.check_screen(window, "retry")
        harness.click(window, *BUTTON_CENTRE)
        launcher.wait_for_line("Fallo de ficheros: Reintentando", count=2)
        self.assertEqual(launcher.lines().count(fetching), 2)
        self.assertFalse(os.path.exists(os.path.join(self.data, "catalog.txt.new")))
        self.close_and_expect_exit(launcher, window)

    def test_catalog_404_leaves_files_alone_and_offers_retry(self):
        server = self.server(ScriptedServer())
        server.replies["/q//catalog.php"] = [harness.not_found()]
        launcher = self.start(server.base)
        window = harness.find_window(launcher)
        launcher.wait_for_line("Fallo de ficheros: Reintentando")
        self.assertFalse(os.path.exists(os.path.join(self.data, "catalog.txt.new")))
        self.assertFalse(os.path.exists(os.path.join(self.data, "catalog.txt")))
        # The catalog URL is the base, a slash and catalog.php, as it stands.
        self.assertEqual(server.paths(), ["/q//catalog.php"])
        self.assertIn("User-Agent: Quorvel_Launcher\r\n", server.requests[0])
        self.close_and_expect_exit(launcher, window)

    def test_offline_with_complete_files_goes_to_play(self):
        game = Game(os.path.join(self.tmp, "game"))
        self.install(game)
        before = self.read("catalog.txt")
        server = self.server(ScriptedServer())
        server.replies["*"] = [harness.not_found()]
        launcher = self.start(server.base)
        window = harness.find_window(launcher)
        launcher.wait_for_line("Listo para jugar!")
        lines = launcher.lines()
        self.assertIn("Exe", lines)
        self.assertIn("Notas", lines)
        self.assertNotIn("Fallo de ficheros: Reintentando", lines)
        self.assertEqual(self.read("catalog.txt"), before)
        self.check_screen(window, "ready")
        # Closing on the ready screen starts nothing.
        self.close_and_expect_exit(launcher, window)
        self.assertFalse(os.path.exists(os.path.join(self.data, "game-started.txt")))

    def test_fresh_install_from_nginx_then_play_then_straight_to_play(self):
        game = Game(os.path.join(self.tmp, "game"))
        catalog = os.path.join(self.tmp, "catalog.txt")
        with open(catalog, "wb") as f:
            f.write(game.catalog())
        nginx = self.server(Nginx(game.root, catalog))
        launcher = self.start(nginx.base)
        window = harness.find_window(launcher)
        self.play_and_expect_game(launcher, window)
        for name, data in game.files.items():
            self.assertEqual(self.read(name), data, name)
        self.assertEqual(self.read("catalog.txt"), game.catalog())
        fetched = [r.split(" ")[1] for r in nginx.requests()]
        # Downloads go last record first; nothing is fetched twice.
        expected = ["/quorvel/data//catalog.php"] + [
            "/quorvel/data//" + name for name in sorted(game.files, reverse=True)]
        self.assertEqual(fetched, expected)

        os.remove(os.path.join(self.data, "game-started.txt"))
        second = self.start(nginx.base)
        window = harness.find_window(second)
        second.wait_for_line("Listo para jugar!")
        self.assertEqual(len(nginx.requests()), len(expected) + 1, "only the catalog again")
        self.play_and_expect_game(second, window)

    def test_catalog_php_crlf_catalog_and_downloads_that_break_off(self):
        game = Game(os.path.join(self.tmp, "game"))
        shutil.copy(os.path.join(ARGS.source, "server", "catalog.php"), game.root)
        php = self.server(PhpServer(game.root, exe_name=game.exe_name))
        # The PHP server's catalog is the one the publisher's tool writes.
        import urllib.request
        with urllib.request.urlopen(php.base + "/catalog.php") as reply:
            self.assertEqual(reply.read(), game.catalog())

        server = self.server(ScriptedServer())
        data = game.files["maps/forest.map"]
        server.replies["/q//catalog.php"] = [ok(game.catalog("\r\n"))]
        server.replies["/q//maps/forest.map"] = [("cut", ok(data), 200),
                                                ("cut", ok(data), 30000), ok(data)]
        for name, content in game.files.items():
            if name != "maps/forest.map":
                server.replies["/q//" + name] = [ok(content)]
        launcher = self.start(server.base)
        window = harness.find_window(launcher)
        self.play_and_expect_game(launcher, window)
        self.assertEqual(server.paths().count("/q//maps/forest.map"), 3)
        for name, content in game.files.items():
            self.assertEqual(self.read(name), content, name)

    def test_file_that_never_matches_is_fetched_again_until_closed(self):
        game = Game(os.path.join(self.tmp, "game"))
        server = self.server(ScriptedServer())
        server.replies["/q//catalog.php"] = [ok(game.catalog())]
        server.replies["*"] = [ok(b"not the file the catalog describes")]
        launcher = self.start(server.base)
        window = harness.find_window(launcher)
        deadline = time.monotonic() + 30
        while len(server.paths()) < 5 and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertGreaterEqual(len(server.paths()), 5)
        first_file = "/q//" + sorted(game.files, reverse=True)[0]
        self.assertEqual(set(server.paths()[1:]), {first_file})
        self.close_and_expect_exit(launcher, window)

    def test_catalogs_naming_only_gone_files_are_asked_for_after_growing_waits(self):
        # Every catalog names gone.pak with other bytes and every object is
        # 404, so each one replaces the one before: the run after each keeps
        # the back-off (0.2 s, then 0.4, 0.8, 1.6), or the launcher asks for
        # catalogs without a pause as long as it is open.
        server = self.server(ScriptedServer())
        server.replies["/q//catalog.php"] = [
            lambda request: ok(record("FILE", "gone.pak", os.urandom(8)).encode())]
        launcher = Launcher(PROGRAMS, self.appdata, server.base,
                            extra_env={"QUORVEL_RETRY_WAIT_MS": "200"})
        self.launchers.append(launcher)
        window = harness.find_window(launcher)
        deadline = time.monotonic() + 30
        while "/q//catalog.php" not in server.paths() and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(4)
        catalogs = server.paths().count("/q//catalog.php")
        self.assertGreaterEqual(catalogs, 2)
        self.assertLessEqual(catalogs, 6)
        self.close_and_expect_exit(launcher, window)

    def test_empty_catalog_reaches_play_which_starts_nothing(self):
        server = self.server(ScriptedServer())
        server.replies["/q//catalog.php"] = [ok(b"")]
        launcher = self.start(server.base)
        window = harness.find_window(launcher)
        launcher.wait_for_line("Listo para jugar!")
        self.check_screen(window, "ready-empty")
        time.sleep(0.2)
        harness.click(window, *BUTTON_CENTRE)
        self.assertEqual(launcher.wait(timeout=30), 0)
        self.assertEqual(os.listdir(self.data), ["catalog.txt"])

    def test_checking_and_download_screens(self):
        game = Game(os.path.join(self.tmp, "game"))
        server = self.server(ScriptedServer())
        server.replies["/q//catalog.php"] = [None]  # accepts, never answers
        launcher = self.start(server.base)
        window = harness.find_window(launcher)
        launcher.wait_for_line(f"Fetching Catalog: {server.base}/catalog.php")
        time.sleep(1.0)
        self.check_screen(window, "checking")
        self.close_and_expect_exit(launcher, window)

        # Half of the one file to fetch arrives, then the server goes quiet.
        single = {"big.dat": bytes(range(256)) * 4096}
        server.replies["/q//catalog.php"] = [ok(record("FILE", "big.dat", single["big.dat"]).encode())]
        half = ok(single["big.dat"])[:len(ok(b"")) + 524288]
        server.replies["/q//big.dat"] = [("stall", half)]
        launcher = self.start(server.base)
        window = harness.find_window(launcher)
        deadline = time.monotonic() + 30
        while "/q//big.dat" not in server.paths() and time.monotonic() < deadline:
            time.sleep(0.1)
        time.sleep(1.5)
        # Speed and time left depend on the clock: their lines are masked.
        self.check_screen(window, "download", mask=[(50, 296, 400, 352)])
        self.close_and_expect_exit(launcher, window)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--launcher", required=True)
    parser.add_argument("--ctl", required=True)
    parser.add_argument("--game", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--artifacts", required=True)
    parser.add_argument("--runner", default="")
    ARGS, rest = parser.parse_known_args()
    PROGRAMS = harness.Programs(ARGS.launcher, ARGS.ctl, ARGS.game, ARGS.runner)
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
