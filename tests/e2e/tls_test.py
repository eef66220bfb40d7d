#!/usr/bin/env python3
"""HTTPS end to end: nginx serves the game over TLS with certificates from a
test authority that openssl makes here for each run. Installs, updates, a
link that drops mid-file and the launcher updating itself go through; a
certificate for another host, an expired one, a self-signed one, one from
an authority nobody trusts, a server that drops or stalls the handshake and
one that speaks plain HTTP are refused and leave the install as it was.
Linux trusts the test authority through SSL_CERT_FILE; the Windows build
through the Wine prefix's root store (trust_root adds it and takes it out
again), never through the machine's."""
import argparse
import os
import re
import resource
import shutil
import select
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse
import zlib

import harness
import hostile_input_test
import network_test
from harness import Nginx, snapshot
from network_test import CutLink, served, start_tinyproxy, write_tree

ARGS = None
PROGRAMS = None


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True)


class Authority:
    """A certificate authority made by openssl in folder; leaf() has it sign
    a certificate (EC P-256) for the hosts given and the extended key usage
    given (a web server's by default), valid for two days from now or
    between two dates (openssl ca's YYYYMMDDHHMMSSZ)."""

    def __init__(self, folder, name):
        self.folder = folder
        os.makedirs(os.path.join(folder, "issued"))
        open(os.path.join(folder, "index.txt"), "w").close()
        with open(os.path.join(folder, "serial"), "w") as f:
            f.write("1000\n")
        with open(os.path.join(folder, "ca.cnf"), "w") as f:
            f.write("[ca]\ndefault_ca = this\n[this]\ndatabase = index.txt\nserial = serial\n"
                    "new_certs_dir = issued\ncertificate = ca.pem\nprivate_key = ca.key\n"
                    "default_md = sha256\npolicy = any\nunique_subject = no\n"
                    "[any]\ncommonName = supplied\n")
        self.pem = os.path.join(folder, "ca.pem")
        openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                "-keyout", "ca.key", "-out", "ca.pem", "-days", "2", "-subj", f"/CN={name}",
                "-addext", "basicConstraints=critical,CA:TRUE",
                "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=folder)

    def leaf(self, name, hosts="DNS:localhost,IP:127.0.0.1", dates=None, usage="serverAuth"):
        common_name = hosts.split(",")[0].split(":")[1]
        with open(os.path.join(self.folder, name + ".ext"), "w") as f:
            f.write(f"[leaf]\nsubjectAltName = {hosts}\nextendedKeyUsage = {usage}\n"
                    "basicConstraints = CA:FALSE\n")
        openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                "-keyout", name + ".key", "-out", name + ".csr", "-subj", f"/CN={common_name}",
                cwd=self.folder)
        when = ["-startdate", dates[0], "-enddate", dates[1]] if dates else ["-days", "2"]
        openssl("ca", "-batch", "-config", "ca.cnf", "-in", name + ".csr", "-out", name + ".pem",
                "-notext", "-extfile", name + ".ext", "-extensions", "leaf", *when,
                cwd=self.folder)
        return os.path.join(self.folder, name + ".pem"), os.path.join(self.folder, name + ".key")


class LoopbackServer:
    """A listener on 127.0.0.1 that serves each connection on a thread of
    its own with _serve; accepted counts the connections."""

    def __init__(self):
        self.accepted = 0
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            self.accepted += 1
            threading.Thread(target=self._serve, args=(connection,), daemon=True).start()

    def stop(self):
        self.listener.close()


class HalfHandshake(LoopbackServer):
    """A server that reads the ClientHello and then sends the start of a
    ServerHello and closes ("drop"), or holds the connection without a byte
    ("stall")."""

    def __init__(self, mode):
        self.mode = mode
        self.stopping = threading.Event()
        super().__init__()

    def _serve(self, connection):
        with connection:
            connection.recv(65536)
            if self.mode == "drop":
                connection.sendall(b"\x16\x03\x03\x00\x7a\x02\x00\x00\x76\x03\x03")
                time.sleep(0.1)
            else:
                self.stopping.wait(120)

    def stop(self):
        self.stopping.set()
        super().stop()


class UntilClose(LoopbackServer):
    """A TLS server that answers each GET with the file from folder and no
    Content-Length, so that the body ends with the connection. The reply
    to catalog.php is catalog (bytes) when given. ending "notify" sends
    TLS's closing message and then holds the TCP connection open up to
    hold seconds (a server that waits for the client to close); "cut"
    closes the TCP connection without it, as a cut link would."""

    def __init__(self, folder, pair, catalog=None, ending="notify", hold=60):
        self.folder, self.catalog, self.ending, self.hold = folder, catalog, ending, hold
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(*pair)
        self.requests = []
        super().__init__()
        self.base = f"https://localhost:{self.port}/"

    def _serve(self, raw):
        with raw:
            raw.settimeout(30)
            try:
                tls = self.context.wrap_socket(raw, server_side=True)  # takes raw's descriptor
                request = b""
                while b"\r\n\r\n" not in request:
                    piece = tls.recv(4096)
                    if not piece:
                        return
                    request += piece
                path = urllib.parse.unquote(request.split(b" ")[1].decode()).lstrip("/")
                self.requests.append(path)
                if path == "catalog.php" and self.catalog is not None:
                    body = self.catalog
                else:
                    with open(os.path.join(self.folder, path), "rb") as f:
                        body = f.read()
                tls.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + body)
                if self.ending == "cut":
                    tls.close()  # a FIN with no closing message
                    return
                # The closing message goes out; the answer to it is not
                # waited for, and the TCP connection stays open until the
                # client closes it or hold passes.
                tls.settimeout(0.5)
                try:
                    tls.unwrap()
                except OSError:
                    pass
                select.select([tls.fileno()], [], [], self.hold)
                tls.close()
            except (OSError, ValueError):
                return


class Https(network_test.NetworkCase):
    scratch_prefix = "quorvel_tls_"

    @classmethod
    def setUpClass(cls):
        cls.certs = tempfile.mkdtemp(prefix="quorvel_tls_certs_")
        cls.addClassCleanup(harness.remove_scratch, cls.certs)
        cls.authority = Authority(os.path.join(cls.certs, "authority"), "Quorvel Test Authority")
        stranger = Authority(os.path.join(cls.certs, "stranger"), "Nobody's Authority")
        cls.good = cls.authority.leaf("good")
        cls.refused = {
            "certificate for another host": cls.authority.leaf("other", "DNS:elsewhere.invalid"),
            "certificate expired": cls.authority.leaf(
                "expired", dates=("20200101000000Z", "20200201000000Z")),
            "unknown certificate authority": stranger.leaf("stranger"),
            "certificate not for a web server": cls.authority.leaf("client", usage="clientAuth"),
        }
        self_signed = os.path.join(cls.certs, "self")
        openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                "-keyout", self_signed + ".key", "-out", self_signed + ".pem", "-days", "2",
                "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1",
                cwd=cls.certs)
        cls.self_signed = (self_signed + ".pem", self_signed + ".key")
        if PROGRAMS.windows:
            der = os.path.join(cls.certs, "authority.der")
            openssl("x509", "-in", cls.authority.pem, "-outform", "der", "-out", der,
                    cwd=cls.certs)
            trust = lambda how: subprocess.run(
                PROGRAMS.command(ARGS.trust_root, how, PROGRAMS.native_path(der)),
                capture_output=True, timeout=120)
            cls.addClassCleanup(trust, "remove")
            added = trust("add")
            assert added.returncode == 0, added.stderr

    def environment(self, env=None):
        """Linux trusts the test authority through SSL_CERT_FILE."""
        return dict(env or {}, **({} if PROGRAMS.windows else {"SSL_CERT_FILE": self.authority.pem}))

    def ctl(self, *args, env=None, timeout=300):
        return super().ctl(*args, env=self.environment(env), timeout=timeout)

    def nginx(self, tls, extra=""):
        server = Nginx(self.site, os.path.join(self.site, "catalog.php"), tls=tls, extra=extra)
        self.servers.append(server)
        return server

    def assert_kept(self, installed):
        now = snapshot(self.data)
        changed = sorted(n for n in set(installed) | set(now) if installed.get(n) != now.get(n))
        self.assertEqual(changed, [], "the install is kept")

    def test_install_update_and_a_link_that_drops(self):
        self.publish(self.files)
        nginx = self.nginx(self.good)
        result = self.sync(nginx.base)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assert_installed(self.files)
        # The update's 8 MiB file through a link reset every 2 MiB: each
        # try asks for the rest over a new TLS connection.
        size = 8 << 20
        newer = dict(self.files, **{"notes.txt": b"Patch 3\n", "pack.bin": os.urandom(size)})
        self.publish(newer)
        link = CutLink(nginx.port, cut_after=2 << 20)
        self.addCleanup(link.stop)
        result = self.sync(f"https://localhost:{link.port}/quorvel/data")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assert_installed(newer)
        self.assertEqual(result.stdout.count(b"fetched: "), 2, result.stdout)
        tries = served(nginx.access_log, "pack.bin")
        self.assertGreaterEqual(len(tries), 4, tries)
        self.assertEqual([t[1] for t in tries], ["200"] + ["206"] * (len(tries) - 1), tries)
        starts = [int(re.match(r"bytes=(\d+)-$", t[3]).group(1)) for t in tries[1:]]
        self.assertEqual(starts, sorted(set(starts)), "each try goes on where the last ended")
        self.assertLessEqual(link.relayed, 1.2 * size, "a resumed file is not fetched again")

    def test_an_https_base_takes_no_plain_mirror(self):
        # The base drops its connection for the executable; a plain mirror
        # holds a forged one of the same size and CRC-32. Behind an https
        # base that mirror is never asked.
        self.publish(self.files)
        mirror = harness.ScriptedServer()
        self.servers.append(mirror)
        mirror.replies["*"] = [harness.ok(hostile_input_test.forge_same_crc(
            self.files["game.exe"]))]
        catalog = os.path.join(self.site, "catalog.php")
        with open(catalog, "rb") as f:
            records = f.read()
        with open(catalog, "wb") as f:
            f.write(f"MIRROR {mirror.base.rstrip('/')}\n".encode() + records)
        nginx = self.nginx(self.good, extra="location = /quorvel/data/game.exe { return 444; }")
        result = self.sync(nginx.base)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual(result.stderr.count(
            f"mirror skipped (not https): {mirror.base.rstrip('/')}".encode()), 1, result.stderr)
        self.assertEqual(mirror.paths(), [])
        installed = snapshot(self.data)
        self.assertNotIn("game.exe", installed)
        self.assertEqual(installed["notes.txt"], self.files["notes.txt"])
        # publish refuses such a mirror for an https base.
        build = self.folder("build")
        write_tree(build, self.files)
        for mirror_url, code in (("http://mirror.example/game", 2),
                                 ("https://mirror.example/game", 0)):
            result = self.ctl("publish", build, self.folder(f"site-{code}"), "--exe", "game.exe",
                              "--notes", "notes.txt", "--base", "https://cdn.example/game",
                              "--mirror", mirror_url)
            self.assertEqual(result.returncode, code, result.stderr)
            self.assertEqual(b"is https; the mirror" in result.stderr, code == 2, result.stderr)
        # A base mistyped would let a plain mirror by: refused before anything is written.
        for base in (" https://cdn.example/game", "https:cdn.example/game", "cdn.example/game"):
            result = self.ctl("publish", build, os.path.join(self.tmp, "site-odd"), "--exe", "game.exe",
                              "--notes", "notes.txt", "--base", base,
                              "--mirror", "http://mirror.example/game")
            self.assertEqual(result.returncode, 2, base)
            self.assertIn(b"--base takes an http:// or https:// base URL", result.stderr, base)
            self.assertFalse(os.path.exists(os.path.join(self.tmp, "site-odd")))

    def test_refused_servers_leave_the_install_as_it_was(self):
        self.publish(self.files)
        result = self.sync(self.nginx(self.good).base)
        self.assertEqual(result.returncode, 0, result.stderr)
        installed = snapshot(self.data)
        # What any refused server would have brought: a new catalog and notes.
        self.publish(dict(self.files, **{"notes.txt": b"Patch 4\n"}))
        plain = Nginx(self.site, os.path.join(self.site, "catalog.php"))
        self.servers.append(plain)
        dropper, stall = HalfHandshake("drop"), HalfHandshake("stall")
        self.addCleanup(dropper.stop)
        self.addCleanup(stall.stop)
        bases = {why: self.nginx(pair).base for why, pair in self.refused.items()}
        bases["unknown certificate authority, self-signed"] = self.nginx(self.self_signed).base
        bases["the connection closed during the handshake"] = f"https://localhost:{dropper.port}/"
        bases["the server does not speak TLS"] = f"https://localhost:{plain.port}/quorvel/data/"
        for case, base in bases.items():
            with self.subTest(case):
                # Refused as a server that cannot be reached: the complete
                # install plays offline.
                result = self.sync(base)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn(b"catalog not fetched (status -1)", result.stderr)
                why = case.split(",")[0]
                lines = [l for l in result.stderr.decode().splitlines() if l.startswith("https:")]
                self.assertEqual(lines, [f"https: localhost: {why}"], result.stderr)
                self.assert_kept(installed)
        self.assertEqual(plain.requests(), [], "plain HTTP never got a request")
        with self.subTest("https:// redirected down to http:// is not followed"):
            down = self.nginx(self.good, extra=f"location = /down/catalog.php {{ return 302 "
                              f"http://127.0.0.1:{plain.port}/quorvel/data/catalog.php; }}")
            result = self.sync(f"https://localhost:{down.port}/down/")
            self.assertIn(b"catalog not fetched (status -1)", result.stderr)
            self.assert_kept(installed)
            self.assertEqual(plain.requests(), [])
        with self.subTest("http:// redirected up to https:// is followed"):
            up = Nginx(self.site, os.path.join(self.site, "catalog.php"),
                       extra=f"location = /up/catalog.php {{ return 302 "
                             f"https://localhost:{down.port}/quorvel/data/catalog.php; }}")
            self.servers.append(up)
            out = os.path.join(self.tmp, "fetched.txt")
            result = self.ctl("fetch", f"http://127.0.0.1:{up.port}/up/catalog.php", out)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(snapshot(self.tmp)["fetched.txt"],
                             snapshot(self.site)["catalog.php"])

    def test_a_body_to_the_close_is_whole_only_after_the_closing_message(self):
        # The catalog's last record names game.exe.config; cut right after
        # "game.exe" it would be a record for game.exe with the config's
        # bytes, and the working game would be overwritten.
        self.publish(self.files)
        result = self.sync(self.nginx(self.good).base)
        self.assertEqual(result.returncode, 0, result.stderr)
        installed = snapshot(self.data)
        config = b"<config/>\n"
        self.publish(dict(self.files, **{"game.exe.config": config}))
        with open(os.path.join(self.site, "catalog.php"), "rb") as f:
            text = f.read()
        record = re.search(rb"FILE\ngame\.exe\.config\n[^\n]*\n[^\n]*\ngame\.exe\.config\n\n\n",
                           text).group(0)
        last_record_first = text.replace(record, b"") + record
        cut_in_name = last_record_first[:len(last_record_first) - len(b".config\n\n\n")]
        with self.subTest("closed without TLS's closing message, cut inside a name line"):
            server = UntilClose(self.site, self.good, cut_in_name, ending="cut")
            self.addCleanup(server.stop)
            result = self.sync(server.base)
            self.assertIn(b"catalog not fetched (status -1)", result.stderr)
            lines = [l for l in result.stderr.decode().splitlines() if l.startswith("https:")]
            self.assertEqual(lines, ["https: localhost: the connection closed without TLS's "
                                     "closing message: the reply may be cut"], result.stderr)
            self.assert_kept(installed)
            self.assertEqual(server.requests, ["catalog.php"])
        with self.subTest("ended by TLS's closing message, the server holding the connection"):
            server = UntilClose(self.site, self.good, last_record_first, ending="notify")
            self.addCleanup(server.stop)
            started = time.monotonic()
            result = self.sync(server.base, timeout=120)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertNotIn(b"catalog not fetched", result.stderr)
            self.assert_installed(dict(self.files, **{"game.exe.config": config}))
            # Each transfer ends at the closing message: waiting for the
            # server's TCP close would take its 60 s each.
            self.assertLess(time.monotonic() - started, 50, server.requests)
        with self.subTest("quorvelctl fetch over https, no Content-Length, cut"):
            server = UntilClose(self.site, self.good, ending="cut")
            self.addCleanup(server.stop)
            result = self.ctl("fetch", server.base + "notes.txt", os.path.join(self.tmp, "n.txt"))
            self.assertNotEqual(result.returncode, 0, result.stdout)
            self.assertIn(b"status -1", result.stdout)

    def test_https_through_a_proxy_with_connect(self):
        self.publish(self.files)
        nginx = self.nginx(self.good)
        proxy = start_tinyproxy(self.folder("proxy"), connect_port=nginx.port)
        self.servers.append(proxy)
        env = {}
        if PROGRAMS.windows:
            # A proxy for https only, in the user's Internet Settings.
            settings = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings"
            reg = lambda *a: subprocess.run(PROGRAMS.command("reg", "add", settings, "/f", *a),
                                            capture_output=True, timeout=120)
            reg("/v", "ProxyServer", "/t", "REG_SZ", "/d", f"https=127.0.0.1:{proxy.port}")
            reg("/v", "ProxyEnable", "/t", "REG_DWORD", "/d", "1")
            self.addCleanup(reg, "/v", "ProxyEnable", "/t", "REG_DWORD", "/d", "0")
        else:
            env["https_proxy"] = f"http://127.0.0.1:{proxy.port}"
        result = self.sync(nginx.base, env=env)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assert_installed(self.files)
        with open(proxy.log) as f:
            tunnels = re.findall(r"CONNECT localhost:(\d+)", f.read())
        self.assertEqual(tunnels, [str(nginx.port)] * (1 + len(self.files)))
        self.assertEqual(len(nginx.requests()), 1 + len(self.files))

    def test_the_rate_limit_waits_without_spinning(self):
        # Under the limit a receive leaves the rest of a TLS record inside
        # TLS, where no socket wait sees it: the wait is for the limit.
        files = {"game.exe": b"MZ", "notes.txt": b"n\n", "pack.bin": os.urandom(3 << 20)}
        self.publish(files)
        nginx = self.nginx(self.good)
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        result = self.sync(nginx.base, "--max-rate", "1024")
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assert_installed(files)
        cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
        self.assertLess(cpu, 1.0, "3 s of waiting for the limit took a core")

    def test_launcher_updates_itself_and_plays_over_https(self):
        game = {"game.exe": b"MZ" + os.urandom(5000), "notes.txt": b"Patch 1.2\n"}
        self.publish(game)
        name = os.path.basename(ARGS.launcher).replace("quorvel-launcher", "launcher")
        with open(ARGS.launcher, "rb") as f:
            current = f.read()
        newer = current + b"\0QUORVEL-NEWER" * 64
        write_tree(self.site, {"new/" + name: newer})
        platform = "windows-i686" if PROGRAMS.windows else "linux-x86_64"
        with open(os.path.join(self.site, "catalog.php"), "a") as f:
            f.write(f"LAUNCHER {platform}\nnew/{name}\n{len(newer)}\n{zlib.crc32(newer):8X}\n"
                    f"{name}\n\n\n")
        nginx = self.nginx(self.good)
        program = os.path.join(self.folder("bin"), name)
        write_tree(os.path.dirname(program), {name: current})
        os.chmod(program, 0o755)
        appdata = os.path.join(self.tmp, "appdata")
        first = harness.Launcher(PROGRAMS, appdata, nginx.base, program=program,
                                 extra_env=self.environment())
        self.launchers.append(first)
        first.wait_for_line("Launcher updated; restarting", timeout=90)
        self.assertEqual(first.wait(timeout=30), 0, first.lines())
        # The restarted launcher fetches the game and shows Play.
        window = harness.find_window(timeout=60)
        deadline = time.monotonic() + 90
        while (snapshot(os.path.join(appdata, "Quorvel")).get("notes.txt") !=
               game["notes.txt"] and time.monotonic() < deadline):
            time.sleep(0.2)
        time.sleep(1)
        harness.close_window(window)
        self.assertTrue(harness.window_gone(window, timeout=30))
        with open(program, "rb") as f:
            self.assertTrue(f.read() == newer, "the launcher was replaced by the newer one")
        self.assert_installed(game, os.path.join(appdata, "Quorvel"))
        self.assertEqual(len(served(nginx.access_log, "new/" + name)), 1)

    def test_a_stalled_handshake_leaves_the_window_closable(self):
        stall = HalfHandshake("stall")
        self.addCleanup(stall.stop)
        launcher = harness.Launcher(PROGRAMS, os.path.join(self.tmp, "appdata"),
                                    f"https://localhost:{stall.port}/", extra_env=self.environment())
        self.launchers.append(launcher)
        window = harness.find_window(launcher)
        deadline = time.monotonic() + 30
        while not stall.accepted and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(stall.accepted, 1, "the launcher started its handshake")
        time.sleep(2)
        closed = time.monotonic()
        harness.close_window(window)
        # The handshake waits up to a minute for the server; the window's
        # close is seen within a pass of the loop.
        self.assertEqual(launcher.wait(timeout=10), 0, launcher.lines())
        self.assertLess(time.monotonic() - closed, 10)
        self.assertFalse(os.path.exists(os.path.join(self.tmp, "appdata", "Quorvel",
                                                     "catalog.txt")))


def main():
    global ARGS, PROGRAMS
    parser = argparse.ArgumentParser()
    parser.add_argument("--ctl", required=True)
    parser.add_argument("--launcher", required=True)
    parser.add_argument("--trust-root", default="")
    parser.add_argument("--runner", default="")
    ARGS, rest = parser.parse_known_args()
    PROGRAMS = harness.Programs(ARGS.launcher, ARGS.ctl, "", runner=ARGS.runner)
    if PROGRAMS.windows and not ARGS.trust_root:
        sys.exit("the Windows build needs --trust-root")
    network_test.ARGS, network_test.PROGRAMS = ARGS, PROGRAMS
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
