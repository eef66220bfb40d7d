#!/usr/bin/env python3
"""quorvelctl sync: the launcher's update without a window, against nginx and
a scripted server on 127.0.0.1."""
import argparse
import os
import subprocess
import sys
import time
import unittest
import zlib

import harness
from harness import Nginx, ScriptedServer, ok

ARGS = None


def record(kind, name, data):
    return f"{kind}\n{name}\n{len(data)}\n{zlib.crc32(data):8X}\n{name}\n\n\n"


class Sync(unittest.TestCase):
    def setUp(self):
        self.tmp = harness.scratch_dir(self, "quorvel_sync_")
        self.data = os.path.join(self.tmp, "data")
        os.makedirs(self.data)
        self.servers = []
        self.addCleanup(self.stop_servers)
        self.files = {
            "game.exe": b"MZ" + os.urandom(5000),
            "notes.txt": b"notes\n",
            "maps/deep/forest.map": os.urandom(300000),
        }
        self.catalog = "".join(record("FILE", n, d) for n, d in sorted(self.files.items()))

    def stop_servers(self):
        for server in self.servers:
            server.stop()

    def sync(self, base, env=None):
        command = ([ARGS.runner] if ARGS.runner else []) + [
            ARGS.ctl, "sync", base, self.data]
        return subprocess.run(command, capture_output=True, timeout=120,
                              env=dict(os.environ, **(env or {})))

    def test_fresh_sync_then_nothing_to_do(self):
        root = os.path.join(self.tmp, "served")
        for name, content in self.files.items():
            os.makedirs(os.path.dirname(os.path.join(root, name)), exist_ok=True)
            with open(os.path.join(root, name), "wb") as f:
                f.write(content)
        catalog = os.path.join(self.tmp, "catalog.txt")
        with open(catalog, "w") as f:
            f.write(self.catalog)
        nginx = Nginx(root, catalog)
        self.servers.append(nginx)

        # A data folder not made yet is made, with its parents.
        self.data = os.path.join(self.tmp, "new", "deep", "data")
        result = self.sync(nginx.base)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        for name, content in self.files.items():
            with open(os.path.join(self.data, name), "rb") as f:
                self.assertEqual(f.read(), content, name)
        self.assertEqual(len(nginx.requests()), 1 + len(self.files))

        result = self.sync(nginx.base)
        self.assertEqual(result.returncode, 0)
        self.assertIn(b"complete", result.stdout)
        self.assertEqual(len(nginx.requests()), 2 + len(self.files), "only the catalog again")

    def test_unreachable_server_with_missing_files_fails(self):
        with open(os.path.join(self.data, "catalog.txt"), "w") as f:
            f.write(self.catalog)
        result = self.sync(f"http://127.0.0.1:{harness.free_port()}/q/")
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"cannot be reached", result.stderr)

    def test_a_file_that_never_matches_gives_up_after_five_tries(self):
        server = ScriptedServer()
        self.servers.append(server)
        server.replies["/q//catalog.php"] = [ok(record("FILE", "bad.pak", b"expected").encode())]
        server.replies["/q//bad.pak"] = [ok(b"something else")]
        # Each retry waits twice as long as the one before: 0.2 s, 0.4, 0.8, 1.6.
        started = time.monotonic()
        result = self.sync(server.base, env={"QUORVEL_RETRY_WAIT_MS": "200"})
        self.assertGreaterEqual(time.monotonic() - started, 3.0)
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"bad.pak does not match", result.stderr)
        self.assertEqual(result.stderr.count(b"bad.pak not verified (reply status 200)"), 4,
                         result.stderr)
        self.assertEqual(server.paths().count("/q//bad.pak"), 5)

    def test_a_server_whose_every_catalog_names_files_it_lacks_is_not_hammered(self):
        # Every catalog names gone.pak with other bytes and every object is
        # 404: each catalog replaces the one before, so only a bound on the
        # catalogs fetched again and the back-off carried into the new run
        # keep sync from asking without a pause or an end.
        server = ScriptedServer()
        self.servers.append(server)
        server.replies["/q//catalog.php"] = [
            lambda request: ok(record("FILE", "gone.pak", os.urandom(8)).encode())]
        started = time.monotonic()
        result = self.sync(server.base, env={"QUORVEL_RETRY_WAIT_MS": "200"})
        self.assertEqual(result.returncode, 1, result.stderr[-2000:])
        self.assertIn(b"gone.pak does not match the catalog after 5 tries", result.stderr)
        self.assertEqual(server.paths().count("/q//catalog.php"), 6)
        self.assertLessEqual(server.paths().count("/q//gone.pak"), 11)
        # 0.2 s before each catalog's first try, then 0.2, 0.4, 0.8 and 1.6 s.
        self.assertGreaterEqual(time.monotonic() - started, 3.5)

    def test_tries_cut_short_after_bytes_arrived_do_not_count(self):
        data = os.urandom(20000)

        def rest(start):
            head = (f"HTTP/1.1 206 Partial Content\r\nETag: \"v1\"\r\nContent-Range: bytes "
                    f"{start}-{len(data) - 1}/{len(data)}\r\nContent-Length: {len(data) - start}"
                    "\r\n\r\n").encode()
            return head + data[start:], len(head)

        whole = (f"HTTP/1.0 200 OK\r\nETag: \"v1\"\r\nContent-Length: {len(data)}\r\n\r\n"
                 ).encode() + data
        server = ScriptedServer()
        self.servers.append(server)
        server.replies["/q//catalog.php"] = [ok(record("FILE", "big.pak", data).encode())]
        # Six tries broken off in the body, each adding 3000 bytes to the
        # part kept for resume, more than the five sync allows failed tries,
        # then the rest of the file.
        cuts = [("cut", whole, len(whole) - len(data) + 3000)]
        cuts += [("cut", rest(3000 * n)[0], rest(3000 * n)[1] + 3000) for n in range(1, 6)]
        server.replies["/q//big.pak"] = cuts + [rest(18000)[0]]
        result = self.sync(server.base)
        self.assertEqual(result.returncode, 0, result.stderr)
        asked = [r for r in server.requests if r.startswith("GET /q//big.pak")]
        self.assertEqual(len(asked), 7)
        for n, request in enumerate(asked[1:], 1):
            self.assertIn(f"Range: bytes={3000 * n}-", request)
        with open(os.path.join(self.data, "big.pak"), "rb") as f:
            self.assertEqual(f.read(), data)

    def test_bad_usage(self):
        command = ([ARGS.runner] if ARGS.runner else []) + [ARGS.ctl, "sync", "only-base"]
        self.assertEqual(subprocess.run(command, capture_output=True, timeout=60).returncode, 2)
        # A data folder below a file cannot be made: refused before any request.
        with open(os.path.join(self.tmp, "plain"), "wb") as f:
            f.write(b"keep")
        self.data = os.path.join(self.tmp, "plain", "data")
        result = self.sync(f"http://127.0.0.1:{harness.free_port()}/q/")
        self.assertEqual(result.returncode, 2, result.stderr)
        self.assertIn(b"cannot make the folder", result.stderr)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--ctl", required=True)
    parser.add_argument("--runner", default="")
    ARGS, rest = parser.parse_known_args()
    if ARGS.runner:
        harness.prepare_wine(ARGS.runner)
    unittest.main(argv=[sys.argv[0], *rest])
