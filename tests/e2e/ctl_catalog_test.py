#!/usr/bin/env python3
"""quorvelctl catalog and verify on a real tree of files.

The catalog must agree with zlib's CRC-32 and the file sizes on every file,
list them sorted with forward slashes, skip its own output file, and verify
must flag exactly the files changed afterwards. Neither may hang on a FIFO or
a device, and the catalog never overwrites a game file.
"""
import argparse
import contextlib
import ctypes
import fcntl
import hashlib
import os
import random
import shutil
import stat
import struct
import subprocess
import sys
import threading
import time
import unittest
import urllib.error
import urllib.parse
import urllib.request
import zlib

import harness

ARGS = None
SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


def run_ctl(*args, timeout=120):
    command = ([ARGS.runner] if ARGS.runner else []) + [ARGS.ctl, *args]
    return subprocess.run(command, capture_output=True, timeout=timeout)


def stderr_lines(result):
    return result.stderr.decode(errors="replace").splitlines()


def parse_catalog(text):
    """Records of the written form: keyword, url, size, crc, name, two blanks."""
    lines = text.split("\n")
    records = []
    i = 0
    while i < len(lines):
        if lines[i] in ("FILE", "EXE", "NOTES"):
            records.append({
                "kind": lines[i],
                "url": lines[i + 1],
                "size": int(lines[i + 2]),
                "crc_text": lines[i + 3],
                "name": lines[i + 4],
            })
            i += 5
        else:
            assert lines[i] == "", f"unexpected line {lines[i]!r}"
            i += 1
    return records


def parse_signed(text):
    """parse_catalog of a signed catalog: its seal and SHA256 lines aside."""
    seal = ("VERSION", "EXPIRES", "SHA256", "SIGNATURE")
    return parse_catalog("\n".join(line for line in text.replace("\r\n", "\n").split("\n")
                                    if not line.startswith(seal)))


class FileOpens:
    """The files (not folders) below a folder that anything opened, as inotify
    reports them; catalog.php itself aside."""

    def __init__(self, case, top):
        libc = ctypes.CDLL(None, use_errno=True)
        self.fd = libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        case.assertGreaterEqual(self.fd, 0)
        case.addCleanup(os.close, self.fd)
        self.folders = {libc.inotify_add_watch(self.fd, folder.encode(), 0x20):  # IN_OPEN
                        os.path.relpath(folder, top) for folder, _, _ in os.walk(top)}

    def take(self):
        """What was opened since the last call."""
        names = set()
        while True:
            try:
                events = os.read(self.fd, 65536)
            except BlockingIOError:
                return names - {"catalog.php"}
            at = 0
            while at < len(events):
                watch, mask, _, size = struct.unpack_from("iIII", events, at)
                if not mask & 0x40000000:  # IN_ISDIR
                    name = events[at + 16:at + 16 + size].rstrip(b"\0").decode()
                    names.add(os.path.normpath(os.path.join(self.folders[watch], name)))
                at += 16 + size


def settle(folder):
    """Waits until every file below folder was last changed two whole seconds
    ago: catalog.php keeps no hash of a file changed later than that."""
    newest = max(os.stat(os.path.join(base, name)).st_ctime
                 for base, _, names in os.walk(folder) for name in names)
    time.sleep(max(0.0, int(newest) + 2.05 - time.time()))


class CatalogTool(unittest.TestCase):
    def setUp(self):
        self.root = harness.scratch_dir(self, "quorvel_ctl_")
        self.game = os.path.join(self.root, "game")
        rng = random.Random(42)
        self.files = {
            "game.exe": bytes(rng.getrandbits(8) for _ in range(3000)),
            "notes.txt": b"Patch 1.2\r\nFaster loading\r\n",
            "empty.dat": b"",
            "maps/level one.map": bytes(rng.getrandbits(8) for _ in range(70000)),
            "maps/deep/x+y&z.bin": b"123456789",
            "Zeta.pak": os.urandom(300 * 1024 + 17),
            "a.pak": b"a",
        }
        for name, data in self.files.items():
            path = os.path.join(self.game, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)

    def make_catalog(self, output):
        result = run_ctl("catalog", self.game, "--exe", "game.exe", "--notes", "notes.txt",
                         "-o", output)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(output, "rb") as f:
            return f.read().decode()

    def test_catalog_agrees_with_zlib_and_skips_its_own_output(self):
        output = os.path.join(self.game, "catalog.txt")
        # A stale catalog in the folder must not list itself either.
        with open(output, "w") as f:
            f.write("FILE\ngone.pak\n1\n       1\ngone.pak\n\n\n")
        records = parse_catalog(self.make_catalog(output))
        names = [r["name"] for r in records]
        self.assertEqual(names, sorted(self.files), "sorted, forward slashes, no catalog.txt")
        for record in records:
            data = self.files[record["name"]]
            self.assertEqual(record["size"], len(data), record["name"])
            self.assertEqual(len(record["crc_text"]), 8, "eight wide, blank padded")
            self.assertEqual(int(record["crc_text"], 16), zlib.crc32(data), record["name"])
            self.assertEqual(record["crc_text"].strip(), "%X" % zlib.crc32(data))
            self.assertEqual(urllib.parse.unquote(record["url"]), record["name"])
            self.assertNotIn(" ", record["url"])
        kinds = {r["name"]: r["kind"] for r in records}
        self.assertEqual(kinds["game.exe"], "EXE")
        self.assertEqual(kinds["notes.txt"], "NOTES")
        self.assertEqual(kinds["a.pak"], "FILE")

    def test_catalog_to_standard_output(self):
        result = run_ctl("catalog", self.game)
        self.assertEqual(result.returncode, 0, result.stderr)
        text = result.stdout.decode().replace("\r\n", "\n")
        self.assertEqual(len(parse_catalog(text)), len(self.files))

    def test_verify_flags_exactly_the_changed_files(self):
        catalog = os.path.join(self.root, "catalog.txt")
        self.make_catalog(catalog)
        result = run_ctl("verify", catalog, self.game)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn(b"complete: 7 files verified", result.stdout)

        with open(os.path.join(self.game, "maps/level one.map"), "r+b") as f:
            f.seek(1000)
            f.write(b"\x00" if self.files["maps/level one.map"][1000] else b"\x01")
        with open(os.path.join(self.game, "a.pak"), "ab") as f:
            f.write(b"!")
        os.remove(os.path.join(self.game, "empty.dat"))
        # Every CRC-32 kernel flags the same files; one not known is refused.
        for kernel in ([], ["--crc-kernel", "bytewise"], ["--crc-kernel", "slice8"]):
            result = run_ctl("verify", catalog, self.game, *kernel)
            self.assertEqual(result.returncode, 1)
            lines = result.stdout.decode().replace("\r\n", "\n").splitlines()
            flagged = sorted(line for line in lines if line.startswith(("differs:", "missing:")))
            self.assertEqual(flagged, ["differs: a.pak", "differs: maps/level one.map",
                                       "missing: empty.dat"], kernel)
            self.assertIn("3 of 7 files need an update, 70001 bytes", lines[-1])
        self.assertEqual(run_ctl("verify", catalog, self.game, "--crc-kernel", "crc64").returncode,
                         2)

    def test_output_below_the_folder_replaces_only_a_catalog(self):
        refused = {
            "Zeta.pak": None,  # the publisher's data, as it is
            "notes.txt": None,
            "maps/../Zeta.pak": None,  # the same file by another spelling
            "cut-record.txt": b"EXE\ngame.exe\n3000\n",
            "readme.txt": b"NOTE: back up your saves\nfirst\nsecond\nthird\nfourth\n",
        }
        for name, data in refused.items():
            path = os.path.join(self.game, name)
            if data is not None:
                with open(path, "wb") as f:
                    f.write(data)
            with open(path, "rb") as f:
                before = f.read()
            with self.subTest(refused=name):
                try:
                    result = run_ctl("catalog", self.game, "-o", path)
                    self.assertEqual(result.returncode, 2, result.stderr)
                    lines = stderr_lines(result)
                    self.assertEqual(len(lines), 1, lines)
                    self.assertIn(path, lines[0])
                    with open(path, "rb") as f:
                        self.assertEqual(f.read(), before, "left as it was")
                finally:
                    if data is not None:
                        os.remove(path)

        old_catalog = "FILE\nold.pak\n5\n   3A0F1\nold.pak\n\n\n"
        key_file = os.path.join(self.root, "signing.key")
        self.assertEqual(run_ctl("keygen", "-o", key_file).returncode, 0)
        signed = run_ctl("catalog", self.game, "--sign", key_file).stdout.decode()
        empty = os.path.join(self.root, "empty")
        os.mkdir(empty)
        signed_empty = run_ctl("catalog", empty, "--sign", key_file).stdout.decode()
        self.assertTrue(signed_empty.startswith("VERSION "), signed_empty)
        allowed = {
            # Every reader skips text between records.
            "record, then text": (os.path.join(self.game, "record-then-text.txt"),
                                  old_catalog + "see the notes\n"),
            "signed catalog": (os.path.join(self.game, "catalog.txt"), signed),
            "signed empty catalog": (os.path.join(self.game, "catalog.txt"), signed_empty),
            "old catalog": (os.path.join(self.game, "catalog.txt"), old_catalog),
            "old catalog, CRLF": (os.path.join(self.game, "maps", "cat.txt"),
                                  old_catalog.replace("\n", "\r\n")),
            "empty file": (os.path.join(self.game, "empty-catalog.txt"), ""),
            "data file outside the folder": (os.path.join(self.root, "elsewhere.pak"),
                                             "not a catalog"),
        }
        for label, (path, text) in allowed.items():
            with self.subTest(allowed=label):
                with open(path, "w", newline="") as f:
                    f.write(text)
                try:
                    names = [r["name"] for r in parse_catalog(self.make_catalog(path))]
                    self.assertEqual(names, sorted(self.files))
                finally:
                    os.remove(path)

    def test_fifos_and_devices_are_never_read(self):
        # Wine shows no FIFO to a Windows program: there it is simply absent.
        fifo = os.path.join(self.game, "maps", "pipe")
        os.mkfifo(fifo)
        output = os.path.join(self.root, "catalog.txt")
        result = run_ctl("catalog", self.game, "-o", output, timeout=30)
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = stderr_lines(result)
        self.assertEqual(len(lines), 1, lines)
        self.assertIn(fifo, lines[0])
        with open(output) as f:
            self.assertEqual([r["name"] for r in parse_catalog(f.read())], sorted(self.files))

        os.remove(os.path.join(self.game, "a.pak"))
        os.mkfifo(os.path.join(self.game, "a.pak"))
        result = run_ctl("verify", output, self.game, timeout=30)
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        flagged = [l for l in result.stdout.decode().splitlines()
                   if l.startswith(("differs:", "missing:"))]
        self.assertEqual(flagged, ["missing: a.pak" if ARGS.runner else "differs: a.pak"])

        for catalog in ("/dev/zero", fifo):
            with self.subTest(catalog=catalog):
                result = run_ctl("verify", catalog, self.game, timeout=30)
                self.assertEqual(result.returncode, 2, result.stdout + result.stderr)
                lines = stderr_lines(result)
                self.assertEqual(len(lines), 1, lines)
                self.assertIn(catalog, lines[0])

        if not ARGS.runner:
            # -o naming a FIFO (or /dev/null): written into, never replaced.
            out = os.path.join(self.root, "out-pipe")
            os.mkfifo(out)
            got = []
            reader = threading.Thread(target=lambda: got.append(open(out, "rb").read()),
                                      daemon=True)
            reader.start()
            result = run_ctl("catalog", self.game, "-o", out, timeout=30)
            reader.join(30)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertTrue(stat.S_ISFIFO(os.stat(out).st_mode))
            self.assertEqual(len(parse_catalog(got[0].decode())), len(self.files) - 1)

    def test_signed_catalog_verifies_with_an_independent_implementation(self):
        # PHP's sodium functions (libsodium) stand as the other Ed25519.
        key_file = os.path.join(self.root, "signing.key")
        made = run_ctl("keygen", "-o", key_file)
        self.assertEqual(made.returncode, 0, made.stderr)
        public_key = made.stdout.decode().strip()
        if not ARGS.runner:
            self.assertEqual(os.stat(key_file).st_mode & 0o777, 0o600)
        with open(key_file, "rb") as f:
            secret = f.read()
        again = run_ctl("keygen", "-o", key_file)
        self.assertEqual(again.returncode, 2)
        with open(key_file, "rb") as f:
            self.assertEqual(f.read(), secret, "an existing key file is never replaced")

        # Game files whose record lines start like the seal's own lines.
        for name in ("VERSION 2.txt", "EXPIRES soon.txt", "SIGNATURE x.txt"):
            self.files[name] = name.encode()
            with open(os.path.join(self.game, name), "wb") as f:
                f.write(self.files[name])
        output = os.path.join(self.root, "signed.txt")
        result = run_ctl("catalog", self.game, "--sign", key_file, "--version", "41", "-o", output)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(output, "rb") as f:
            signed = f.read()
        lines = signed.decode().split("\n")
        self.assertEqual(lines[0], "VERSION 41")
        self.assertTrue(lines[1].startswith("EXPIRES "))
        # Each record's SHA256 line follows its five lines, and is the file's.
        digests = {lines[i + 4]: lines[i + 5] for i, line in enumerate(lines)
                   if line in ("FILE", "EXE", "NOTES")}
        self.assertEqual(digests, {name: "SHA256 " + hashlib.sha256(data).hexdigest()
                                   for name, data in self.files.items()})
        # The unsigned records read as before: old launchers skip the new lines.
        self.assertTrue(lines[-2].startswith("SIGNATURE ed25519 "))
        plain = parse_catalog("\n".join(l for l in lines[2:-2] if not l.startswith("SHA256 ")))
        self.assertEqual(sorted(r["name"] for r in plain), sorted(self.files))

        def php_verifies(data):
            check = ("$t = stream_get_contents(STDIN); $body = rtrim($t, \"\\n\");"
                     "$at = strrpos($body, \"\\n\") + 1; $line = substr($body, $at);"
                     "if (strncmp($line, 'SIGNATURE ed25519 ', 18) != 0) exit(3);"
                     "exit(sodium_crypto_sign_verify_detached(base64_decode(substr($line, 18)),"
                     " substr($t, 0, $at), base64_decode($argv[1])) ? 0 : 1);")
            return subprocess.run(["php", "-r", check, public_key], input=data,
                                  capture_output=True).returncode

        self.assertEqual(php_verifies(signed), 0)
        self.assertEqual(php_verifies(signed.replace(b"VERSION 41", b"VERSION 42")), 1)
        # --version takes what the launcher's VERSION reader takes, nothing else.
        for bad in ("", "-1", "+5", " 5", "5x", "0x10", "9223372036854775800",
                    "99999999999999999999"):
            with self.subTest(version=bad):
                refused = run_ctl("sign", output, "--key", key_file, "--version", bad, "-o",
                                  os.path.join(self.root, "bad.txt"))
                self.assertEqual(refused.returncode, 2, refused.stderr)
        highest = os.path.join(self.root, "highest.txt")
        self.assertEqual(run_ctl("sign", output, "--key", key_file, "--version",
                                 "9223372036854775799", "-o", highest).returncode, 0)
        self.assertEqual(run_ctl("verify", highest, self.game, "--key", public_key).returncode, 0)
        self.assertFalse(os.path.exists(os.path.join(self.root, "bad.txt")))
        # Signed again in place with a new version: the old seal's lines go.
        resigned = run_ctl("sign", output, "--key", key_file, "--version", "43")
        self.assertEqual(resigned.returncode, 0, resigned.stderr)
        with open(output, "rb") as f:
            signed_again = f.read()
        def records(data):  # between the EXPIRES line and the signature
            return data.split(b"\n", 2)[2].rsplit(b"SIGNATURE ed25519 ", 1)[0]

        self.assertTrue(signed_again.startswith(b"VERSION 43\nEXPIRES "))
        self.assertEqual(records(signed_again), records(signed), "every record byte for byte")
        self.assertEqual(php_verifies(signed_again), 0)
        # verify --key: the signature and every file's SHA-256.
        self.assertEqual(run_ctl("verify", output, self.game, "--key", public_key).returncode, 0)
        self.assertEqual(run_ctl("verify", output, self.game, "--key", "bm90IGEga2V5").returncode, 2)
        other = run_ctl("keygen", "-o", os.path.join(self.root, "other.key")).stdout.decode().strip()
        refused = run_ctl("verify", output, self.game, "--key", other)
        self.assertEqual(refused.returncode, 1)
        self.assertIn(b"signature does not verify", refused.stderr)
        # A catalog without SHA256 lines cannot be signed.
        plain_file = os.path.join(self.root, "plain.txt")
        self.make_catalog(plain_file)
        self.assertEqual(run_ctl("sign", plain_file, "--key", key_file).returncode, 2)

    def test_launcher_records_are_skipped_as_game_files_and_listed(self):
        output = os.path.join(self.root, "c.txt")
        result = run_ctl("catalog", self.game, "--launcher", "windows-i686=Zeta.pak",
                         "--launcher", "linux-x86_64=a.pak", "-o", output)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(output) as f:
            text = f.read()
        self.assertIn(f"LAUNCHER windows-i686\nZeta.pak\n{len(self.files['Zeta.pak'])}\n", text)
        self.assertIn("LAUNCHER linux-x86_64\na.pak\n1\n", text)
        # Neither is a game file: the keyword lines aside, every record parses
        # as before, and verify lists the launchers apart.
        records = parse_catalog(text.replace("LAUNCHER windows-i686\n", "FILE\n")
                                .replace("LAUNCHER linux-x86_64\n", "FILE\n"))
        self.assertEqual(len(records), len(self.files))
        verify = run_ctl("verify", output, self.game)
        self.assertEqual(verify.returncode, 0, verify.stdout)
        self.assertIn(f"complete: {len(self.files) - 2} files verified", verify.stdout.decode())
        self.assertIn("launcher windows-i686: Zeta.pak", verify.stdout.decode())
        # A name the launchers in the field would read as a keyword, an
        # unknown platform, a file not below DIR: refused.
        with open(os.path.join(self.game, "NOTICE.exe"), "wb") as f:
            f.write(b"MZ")
        for bad in ("windows-i686=NOTICE.exe", "amiga=a.pak", "linux-x86_64=absent"):
            with self.subTest(bad):
                refused = run_ctl("catalog", self.game, "--launcher", bad)
                self.assertEqual(refused.returncode, 2, refused.stdout)
        self.assertIn(b"FILE, EXE or NOT", run_ctl("catalog", self.game, "--launcher",
                                                   "windows-i686=NOTICE.exe").stderr)

    def test_names_as_windows_opens_them(self):
        # Extra files: the (URL, local name) records they add, or None when
        # the whole catalog is refused, as catalog.php refuses it. Wine shows
        # a Windows program names with trailing dots or blanks, backslashes or
        # line ends by made-up short names, and opens a device for NUL.dat:
        # those rows run on Linux only.
        cases = [
            (["readme.txt."], [("readme.txt.", "readme.txt")], False),
            (["readme.txt "], [("readme.txt%20", "readme.txt")], False),
            (["dir. /x.pak"], [("dir.%20/x.pak", "dir/x.pak")], False),
            (["a\\b.pak"], [("a%5Cb.pak", "a/b.pak")], False),
            (["zz\nSHA256 0\n\nEXE\npayload.bin\n1\n1\nrun.exe"], None, False),
            (["readme.txt.", "readme.txt "], None, False),
            (["x\\y.pak", "X/y.pak"], None, False),
            (["maps/NUL.dat"], None, False),
            (["Catalog.txt"], None, True),
            (["A.pak"], None, True),  # beside a.pak
        ]
        for names, listed, on_wine in cases:
            with self.subTest(names=names):
                if ARGS.runner and not on_wine:
                    continue
                with self.extra_files(names):
                    result = run_ctl("catalog", self.game)
                    if listed is None:
                        self.assertEqual(result.returncode, 2, result.stdout)
                        self.assertEqual(result.stdout, b"")
                        self.assertEqual(len(stderr_lines(result)), 1, result.stderr)
                        continue
                    self.assertEqual(result.returncode, 0, result.stderr)
                    records = parse_catalog(result.stdout.decode())
                    self.assertEqual([(r["url"], r["name"]) for r in records
                                      if r["name"] not in self.files], listed)

    @contextlib.contextmanager
    def extra_files(self, names):
        """The game folder with these files added for the time of a case."""
        before = set(os.listdir(self.game))
        for name in names:
            os.makedirs(os.path.dirname(os.path.join(self.game, name)), exist_ok=True)
            with open(os.path.join(self.game, name), "wb") as f:
                f.write(b"extra")
        try:
            yield
        finally:
            for name in names:
                os.remove(os.path.join(self.game, name))
            for folder in set(os.listdir(self.game)) - before:
                shutil.rmtree(os.path.join(self.game, folder))

    def test_catalog_php_holds_names_to_the_same_rules(self):
        if ARGS.runner:
            self.skipTest("no Windows program here: PHP runs with the Linux build")
        # The table the C++ test reads (catalog_tests: FileNamesFollowTheSharedTable).
        check = r"""
            define('QUORVEL_CATALOG_FUNCTIONS_ONLY', true);
            require $argv[1];
            $rows = 0;
            foreach (file($argv[2]) as $line) {
                $line = rtrim($line, "\r\n");
                $tab = strrpos($line, "\t");
                if ($line === '' || $line[0] === '#' || $tab === false) {
                    continue;
                }
                $decode = function ($text) {
                    return preg_replace_callback('/%([0-9A-Fa-f]{2})/',
                        function ($m) { return chr(hexdec($m[1])); }, $text);
                };
                $name = $decode(substr($line, 0, $tab));
                [$normal, $problem] = catalog_name_normalize($name);
                $got = $problem === null ? $normal : '-';
                if ($got !== $decode(substr($line, $tab + 1))) {
                    echo 'name ', json_encode($name), ' gives ', json_encode($got), "\n";
                }
                ++$rows;
            }
            echo "rows $rows\n";
        """
        php = subprocess.run(["php", "-r", check, os.path.join(SOURCE, "server", "catalog.php"),
                              os.path.join(SOURCE, "tests", "data", "catalog-names.txt")],
                             capture_output=True, text=True)
        lines = php.stdout.splitlines()
        self.assertEqual(php.returncode, 0, php.stderr)
        self.assertEqual(lines[:-1], [])
        self.assertGreater(int(lines[-1].split()[1]), 60)

        # Served: real names in URLs, normal names as local names; a name no
        # catalog may hold, or two names one Windows file, refuse it all.
        shutil.copy(os.path.join(SOURCE, "server", "catalog.php"), self.game)
        php = harness.PhpServer(self.game)
        self.addCleanup(php.stop)
        cases = [
            (["readme.txt.", "dir. /x.pak", "a\\b.pak"],
             [("a%5Cb.pak", "a/b.pak"), ("dir.%20/x.pak", "dir/x.pak"),
              ("readme.txt.", "readme.txt")]),
            (["zz\nSHA256 0\n\nEXE\npayload.bin\n1\n1\nrun.exe"], "cannot be a file name"),
            (["maps/NUL.dat"], "Windows device name"),
            (["Catalog.txt "], "the launcher's own file"),
            (["A.pak"], "one file on Windows"),
            (["readme.txt.", "readme.txt "], "one file on Windows"),
            ([os.path.join("long", "!" * 200, "!" * 200)], "URL too long"),
        ]
        for names, want in cases:
            with self.subTest(names=names):
                with self.extra_files(names):
                    try:
                        with urllib.request.urlopen(php.base + "/catalog.php") as reply:
                            status, body = reply.status, reply.read().decode()
                    except urllib.error.HTTPError as error:
                        status, body = error.code, error.read().decode()
                    if isinstance(want, str):
                        self.assertEqual(status, 500, body)
                        self.assertIn(want, body)
                        self.assertEqual(len(body.splitlines()), 1, body)
                        continue
                    self.assertEqual(status, 200, body)
                    self.assertEqual([(r["url"], r["name"]) for r in parse_catalog(body)
                                      if r["name"] not in self.files], want)


    def serve_php(self, **env):
        """catalog.php in the game folder, its cache beside it; the catalog it
        should send (quorvelctl catalog of the folder without the script)."""
        expected = self.make_catalog(os.path.join(self.root, "expected.txt")).encode()
        shutil.copy(os.path.join(SOURCE, "server", "catalog.php"), self.game)
        self.cache = os.path.join(self.root, "catalog.cache")
        php = harness.PhpServer(self.game, extra_env={"QUORVEL_CATALOG_CACHE": self.cache, **env})
        self.addCleanup(php.stop)
        return php, expected

    def test_catalog_php_reads_only_the_files_that_changed(self):
        if ARGS.runner:
            self.skipTest("no Windows program here: PHP runs with the Linux build")
        php, expected = self.serve_php()
        opens = FileOpens(self, self.game)

        def fetch():
            opens.take()
            with urllib.request.urlopen(php.base + "/catalog.php") as reply:
                return reply.read(), opens.take()

        settle(self.game)
        every = set(self.files)
        self.assertEqual(fetch(), (expected, every))
        self.assertEqual(fetch(), (expected, set()), "the second request reads no file")
        # A cache damaged, cut short, not one, or writable by others is
        # ignored (every file read again), and written anew.
        with open(self.cache, "rb") as f:
            good = f.read()
        crc = b"%08x" % zlib.crc32(self.files["game.exe"])
        self.assertIn(crc, good)
        for bad in (good.replace(crc, b"0badc0de"), good[:len(good) // 2], b"not a cache\n", good):
            with self.subTest(cache=bad[:30]):
                with open(self.cache, "wb") as f:
                    f.write(bad)
                os.chmod(self.cache, 0o666 if bad is good else 0o600)
                self.assertEqual(fetch(), (expected, every))
                self.assertEqual(fetch(), (expected, set()))
        # A changed file is read again, and no other: also with its size and
        # modification time as before (cp -p).
        def with_a_pak(data):
            return expected.replace(b"\n1\n%8X\na.pak\n" % zlib.crc32(b"a"),
                                    b"\n%d\n%8X\na.pak\n" % (len(data), zlib.crc32(data)))

        before = os.stat(os.path.join(self.game, "a.pak"))
        with open(os.path.join(self.game, "a.pak"), "wb") as f:
            f.write(b"b")
        os.utime(os.path.join(self.game, "a.pak"), ns=(before.st_atime_ns, before.st_mtime_ns))
        self.assertNotEqual(with_a_pak(b"b"), expected)
        self.assertEqual(fetch(), (with_a_pak(b"b"), {"a.pak"}))
        # Written again in the second it was read, at the same size: PHP's
        # whole-second times look the same, so its hashes were not kept.
        time.sleep(1.02 - time.time() % 1)
        for data in (b"one", b"two"):
            with open(os.path.join(self.game, "a.pak"), "wb") as f:
                f.write(data)
            self.assertEqual(fetch(), (with_a_pak(data), {"a.pak"}))

    def test_catalog_php_keeps_a_slow_reply_alive(self):
        if ARGS.runner:
            self.skipTest("no Windows program here: PHP runs with the Linux build")
        # Blank lines from the start while files are read (after 5 s by default).
        php, expected = self.serve_php(QUORVEL_CATALOG_KEEPALIVE="0")
        key_file = os.path.join(self.root, "signing.key")
        public_key = run_ctl("keygen", "-o", key_file).stdout.decode().strip()
        signing = harness.PhpServer(self.game, extra_env={
            "QUORVEL_CATALOG_CACHE": self.cache, "QUORVEL_CATALOG_KEEPALIVE": "0",
            "QUORVEL_SIGNING_KEY": key_file})
        self.addCleanup(signing.stop)
        settle(self.game)

        def fetch():
            with urllib.request.urlopen(php.base + "/catalog.php") as reply:
                return reply.headers["Content-Length"], reply.read()

        length, body = fetch()
        self.assertEqual((length, body.lstrip(b"\n")), (None, expected))
        self.assertGreater(len(body), len(expected))
        self.assertEqual(fetch(), (str(len(expected)), expected), "nothing to read: as before")
        # Signed: the SHA-256s (not kept without a key) read now; the blank
        # lines before them signed with the rest.
        fresh = os.path.join(self.root, "fresh")
        synced = run_ctl("sync", signing.base, fresh, "--key", public_key)
        self.assertEqual(synced.returncode, 0, synced.stderr)
        with open(os.path.join(fresh, "catalog.txt"), "rb") as f:
            signed = f.read()
        self.assertTrue(signed.startswith(b"\n"))

        # A file gone once the head went out (the reply waits for another
        # request's reading): the reply ends in a keyword alone.
        os.remove(self.cache)
        with open(self.cache + ".lock", "a") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            reply = urllib.request.urlopen(php.base + "/catalog.php")
            time.sleep(0.5)  # however long the lock is held, nothing is read meanwhile
            os.remove(os.path.join(self.game, "a.pak"))
            fcntl.flock(lock, fcntl.LOCK_UN)
        with reply:
            cut = reply.read()
        self.assertRegex(cut, b"^\n+FILE\n$")
        # Which a launcher, signed or not, takes for no catalog: it keeps its own.
        data = os.path.join(self.root, "data")
        for name, content in self.files.items():
            os.makedirs(os.path.dirname(os.path.join(data, name)), exist_ok=True)
            with open(os.path.join(data, name), "wb") as f:
                f.write(content)
        server = harness.ScriptedServer()
        self.addCleanup(server.stop)
        server.replies["/q//catalog.php"] = [harness.ok(cut)]
        for in_place, key, refusal in ((expected, [], b"holds no catalog record"),
                                       (signed, ["--key", public_key], b"refused: not signed")):
            with open(os.path.join(data, "catalog.txt"), "wb") as f:
                f.write(in_place)
            result = run_ctl("sync", server.base, data, *key)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertIn(refusal, result.stderr)
            with open(os.path.join(data, "catalog.txt"), "rb") as f:
                self.assertEqual(f.read(), in_place)

    def test_a_file_no_catalog_can_describe_refuses_it_cleanly(self):
        # Each ended in "free(): invalid pointer" (an abort) instead of exit 2.
        # A file of 2 GiB or more is a LARGE record, unless its name would read
        # as a record keyword to the launchers that skip LARGE records.
        cases = {"2 GiB, sparse, named like a keyword": ("FILES.bin", 2 ** 31,
                                                        b"starts like a record keyword")}
        if not ARGS.runner:  # Windows opens no path this long (260 characters)
            cases["URL over 1023 bytes"] = (os.path.join("long", "!" * 200, "!" * 200), 0,
                                            b"URL too long")
        for label, (name, size, message) in cases.items():
            with self.subTest(label):
                path = os.path.join(self.game, name)
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "wb") as f:
                    f.truncate(size)
                try:
                    result = run_ctl("catalog", self.game, timeout=300)
                    self.assertEqual(result.returncode, 2, result.stderr)
                    self.assertEqual(result.stdout, b"")
                    lines = stderr_lines(result)
                    self.assertEqual(len(lines), 1, lines)
                    self.assertIn(message, result.stderr)
                finally:
                    os.remove(path)

    def test_a_full_disk_leaves_the_old_catalog_whole(self):
        # Written in place, the old catalog was cut short when the disk filled.
        os.makedirs(os.path.join(self.game, "many"))
        for i in range(150):
            open(os.path.join(self.game, "many", f"f{i:03}.dat"), "wb").close()
        key_file = os.path.join(self.root, "signing.key")
        self.assertEqual(run_ctl("keygen", "-o", key_file).returncode, 0)
        signed = run_ctl("catalog", self.game, "--sign", key_file).stdout.replace(b"\r\n", b"\n")
        # Whole records with SHA256 lines, just short of a 4 KiB page: signed,
        # they need a second one.
        unsigned = b""
        for record in signed.split(b"\n", 2)[2].split(b"\n\n\n")[:20]:
            unsigned += record + b"\n\n\n"
        self.assertLess(len(unsigned), 4000)
        unsigned += b"\n" * (4000 - len(unsigned))
        commands = {
            "catalog -o": (b"FILE\nold.pak\n5\n   3A0F1\nold.pak\n\n\n",
                           lambda path: ("catalog", self.game, "-o", path)),
            "sign in place": (unsigned, lambda path: ("sign", "--key", key_file, path)),
        }
        for label, (old, command) in commands.items():
            with self.subTest(label):
                roomy = os.path.join(self.root, "roomy.txt")
                with open(roomy, "wb") as f:
                    f.write(old)
                self.assertEqual(run_ctl(*command(roomy)).returncode, 0, "fails only when full")
                with harness.small_mount(os.path.join(self.root, "disk"), "64k") as disk:
                    catalog = os.path.join(disk, "catalog.txt")
                    with open(catalog, "wb") as f:
                        f.write(old)
                    with open(os.path.join(disk, "filler"), "wb") as f:
                        try:
                            f.write(b"\0" * (1 << 20))
                        except OSError:
                            pass
                    result = run_ctl(*command(catalog))
                    self.assertNotEqual(result.returncode, 0, result.stderr)
                    with open(catalog, "rb") as f:
                        self.assertEqual(f.read(), old)
                    self.assertEqual(sorted(os.listdir(disk)), ["catalog.txt", "filler"])

    def key_names(self):
        """A signing key kept in the game folder, a hard link to it and a
        link to it in a subfolder: every name for the key file."""
        key_file = os.path.join(self.game, "signing.key")
        self.assertEqual(run_ctl("keygen", "-o", key_file).returncode, 0)
        os.link(key_file, os.path.join(self.game, "maps", "hard.key"))
        os.symlink(os.path.join("..", "..", "signing.key"),
                   os.path.join(self.game, "maps", "deep", "soft.key"))
        return key_file, {"signing.key", "maps/hard.key", "maps/deep/soft.key"}

    def published(self, dest):
        """The names publish listed in DEST's catalog, and every object's bytes."""
        with open(os.path.join(dest, "catalog.php"), "rb") as f:
            names = {r["name"] for r in parse_signed(f.read().decode())}
        objects = set()
        for folder, _, files in os.walk(os.path.join(dest, "objects")):
            for name in files:
                with open(os.path.join(folder, name), "rb") as f:
                    objects.add(f.read())
        return names, objects

    def test_the_signing_key_is_never_listed(self):
        # Each name for the key file was listed (and published) as a game file.
        key_file, key_names = self.key_names()
        with open(key_file, "rb") as f:
            secret = f.read()
        result = run_ctl("catalog", self.game, "--sign", key_file, "--exe", "game.exe")
        self.assertEqual(result.returncode, 0, result.stderr)
        records = parse_signed(result.stdout.decode())
        self.assertEqual(sorted(r["name"] for r in records), sorted(self.files))
        self.assertEqual(sum("the signing key" in line for line in stderr_lines(result)), 3,
                         result.stderr)
        dest = os.path.join(self.root, "site")
        result = run_ctl("publish", self.game, dest, "--exe", "game.exe", "--notes", "notes.txt",
                         "--sign", key_file)
        self.assertEqual(result.returncode, 0, result.stderr)
        names, objects = self.published(dest)
        self.assertEqual(names, set(self.files))
        self.assertNotIn(secret, objects)
        # Unsigned, the key is no key to the tool: a file like any other.
        result = run_ctl("catalog", self.game)
        self.assertEqual(len(parse_signed(result.stdout.decode())),
                         len(self.files) + len(key_names))

    def test_publish_follows_no_link_out_of_src_or_into_dest(self):
        dest = os.path.join(self.root, "site")
        outside = os.path.join(self.root, "outside")
        os.makedirs(outside)
        with open(os.path.join(outside, "secret.txt"), "wb") as f:
            f.write(b"not the game's")
        links = {
            "maps/out.txt": os.path.join("..", "..", "outside", "secret.txt"),
            "shared": outside,  # a folder out of SRC
            "old-site": dest,   # into DEST: the last publish's objects
            "maps/alias.pak": os.path.join("..", "a.pak"),  # inside SRC: followed
        }
        for name, target in links.items():
            os.symlink(target, os.path.join(self.game, name))
        for run in range(2):  # the second with DEST's objects in place
            with self.subTest(run=run):
                result = run_ctl("publish", self.game, dest, "--exe", "game.exe",
                                 "--notes", "notes.txt")
                self.assertEqual(result.returncode, 0, result.stderr)
                lines = stderr_lines(result)
                for name, why in (("out.txt", "a link out of"), ("shared", "a link out of"),
                                  ("old-site", "a link into")):
                    self.assertEqual(sum(name in line and why in line for line in lines), 1,
                                     lines)
                self.assertEqual(len(lines), 3, lines)
                names, objects = self.published(dest)
                self.assertEqual(names, set(self.files) | {"maps/alias.pak"})
                self.assertNotIn(b"not the game's", objects)

    def test_catalog_php_writes_what_quorvelctl_writes(self):
        # catalog.php answered 500 for a file of 2 GiB or more, where
        # quorvelctl writes a LARGE record, and wrote no BLOCKS lines.
        if ARGS.runner:
            self.skipTest("no Windows program here: PHP runs with the Linux build")
        with open(os.path.join(self.game, "maps", "huge.bin"), "wb") as f:
            f.seek(2 ** 31)  # sparse, past the smallest LARGE record
            f.write(b"end")
        with open(os.path.join(self.game, "maps", "big.pak"), "wb") as f:
            f.write(random.Random(7).randbytes(5 << 20))  # a map of its own, not LARGE
        key_file = os.path.join(self.root, "signing.key")
        self.assertEqual(run_ctl("keygen", "-o", key_file).returncode, 0)
        servers = {}
        for signed in (True, False):
            env = {"QUORVEL_CATALOG_CACHE": os.path.join(self.root, "catalog.cache"),
                   "QUORVEL_CATALOG_KEEPALIVE": "600"}
            if signed:
                env.update(QUORVEL_SIGNING_KEY=key_file, QUORVEL_CATALOG_VERSION="41")
            servers[signed] = harness.PhpServer(self.game, extra_env=env)
            self.addCleanup(servers[signed].stop)
        script = os.path.join(self.game, "catalog.php")

        def records(text):
            """All but the EXPIRES and SIGNATURE lines, which hold the time."""
            return [line for line in text.split(b"\n")
                    if not line.startswith((b"EXPIRES ", b"SIGNATURE "))]

        for blocks in ([], ["--blocks"]):
            for signed in (True, False):
                with self.subTest(blocks=blocks, signed=signed):
                    sign = ["--sign", key_file, "--version", "41"] if signed else []
                    ctl = run_ctl("catalog", self.game, "--exe", "game.exe", "--notes",
                                  "notes.txt", *blocks, *sign, timeout=300)
                    self.assertEqual(ctl.returncode, 0, ctl.stderr)
                    shutil.copy(os.path.join(SOURCE, "server", "catalog.php"), script)
                    try:
                        with urllib.request.urlopen(servers[signed].base + "/catalog.php",
                                                    timeout=300) as reply:
                            php = reply.read()
                    except urllib.error.HTTPError as error:
                        php = error.read()
                    finally:
                        os.remove(script)
                    self.assertEqual(records(php), records(ctl.stdout))
                    self.assertIn(b"LARGE FILE\nmaps/huge.bin\n2147483651\n", php)
                    self.assertEqual(php.count(b"\nBLOCKS "), 2 if blocks else 0)
        # Nor, as quorvelctl refuses it, one whose name reads as a keyword.
        with open(os.path.join(self.game, "NOTES.big"), "wb") as f:
            f.truncate(2 ** 31)
        shutil.copy(os.path.join(SOURCE, "server", "catalog.php"), script)
        with self.assertRaises(urllib.error.HTTPError) as refused:
            urllib.request.urlopen(servers[False].base + "/catalog.php").close()
        self.assertEqual(refused.exception.code, 500)
        self.assertIn(b"starts like a record keyword", refused.exception.read())

    def test_bad_usage_and_unreadable_inputs(self):
        self.assertEqual(run_ctl().returncode, 2)
        self.assertEqual(run_ctl("frobnicate").returncode, 2)
        self.assertEqual(run_ctl("verify", "only-one").returncode, 2)
        self.assertEqual(run_ctl("verify", os.path.join(self.root, "absent.txt"),
                                 self.game).returncode, 2)
        self.assertEqual(run_ctl("catalog", os.path.join(self.root, "absent")).returncode, 2)
        self.assertEqual(run_ctl("catalog", self.game, "--exe", "absent.exe").returncode, 2)
        self.assertEqual(run_ctl("catalog", self.game, "-o",
                                 os.path.join(self.root, "no", "dir", "c.txt")).returncode, 2)
        version = run_ctl("--version")
        self.assertEqual(version.returncode, 0)
        self.assertRegex(version.stdout.decode(), r"^quorvelctl \d+\.\d+\.\d+\r?\n$")
        help_result = run_ctl("--help")
        self.assertEqual(help_result.returncode, 0)
        self.assertIn(b"catalog DIR", help_result.stdout)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--ctl", required=True)
    parser.add_argument("--runner", default="")
    ARGS, rest = parser.parse_known_args()
    if ARGS.runner:
        harness.prepare_wine(ARGS.runner)
    unittest.main(argv=[sys.argv[0], *rest])
