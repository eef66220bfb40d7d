#!/usr/bin/python3
"""quorvelctl fetch against servers we did not write: Debian's nginx and
Python's http.server, both started here on 127.0.0.1 with files of edge
sizes. Every file must arrive byte-exact with status 200, a missing one gives
404, and bad usage exits 2. A refused connection or a URL whose port is not
1 to 65535 in plain digits fails and makes no output file, and leaves one
that was there as it was.

Usage: fetch_real_servers.py --ctl PATH [--runner WINE_RUNNER]
"""
import argparse
import hashlib
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

import harness

SIZES = {
    "empty.bin": 0,
    "one.bin": 1,
    "below.bin": 16383,
    "exact.bin": 16384,
    "above.bin": 16385,
    "large.bin": 64 * 1024 * 1024,
}

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL: " + message, flush=True)


def wait_for_port(port, process, name):
    deadline = time.time() + 15
    while time.time() < deadline:
        if process.poll() is not None:
            raise RuntimeError(f"{name} ended at start (exit {process.returncode})")
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return
        except OSError:
            time.sleep(0.05)
    harness.stop_process(process)  # the caller never gets it to stop
    raise RuntimeError(f"{name} does not listen on 127.0.0.1:{port}")


def write_files(root):
    os.makedirs(root)
    digests = {}
    for name, size in SIZES.items():
        # Every byte value, in an order that a shifted or dropped block shows.
        data = bytes((i * 131 + i // 65521) & 0xFF for i in range(min(size, 1 << 20)))
        with open(os.path.join(root, name), "wb") as f:
            written = 0
            while written < size:
                part = data[: size - written]
                f.write(part)
                written += len(part)
                data = data[1:] + data[:1]
        with open(os.path.join(root, name), "rb") as f:
            digests[name] = hashlib.sha256(f.read()).hexdigest()
    return digests


def start_nginx(work, www, port):
    nginx = shutil.which("nginx") or "/usr/sbin/nginx"
    if not os.path.exists(nginx):
        raise RuntimeError("nginx is not installed (scripts/setup installs nginx-light)")
    conf = os.path.join(work, "nginx.conf")
    user = "user root;\n" if os.geteuid() == 0 else ""
    with open(conf, "w") as f:
        f.write(
            f"""{user}daemon off;
worker_processes 1;
pid {work}/nginx.pid;
error_log {work}/nginx-error.log;
events {{ worker_connections 64; }}
http {{
    access_log off;
    client_body_temp_path {work}/body;
    proxy_temp_path {work}/proxy;
    fastcgi_temp_path {work}/fastcgi;
    uwsgi_temp_path {work}/uwsgi;
    scgi_temp_path {work}/scgi;
    default_type application/octet-stream;
    sendfile on;
    server {{
        listen 127.0.0.1:{port};
        root {www};
    }}
}}
"""
        )
    process = subprocess.Popen(
        [nginx, "-p", work, "-c", conf, "-e", os.path.join(work, "nginx-error.log")],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    wait_for_port(port, process, "nginx")
    return process


def start_python_server(www, port):
    process = subprocess.Popen(
        ["/usr/bin/python3", "-m", "http.server", "--bind", "127.0.0.1", "--directory", www,
         str(port)],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    wait_for_port(port, process, "http.server")
    return process


def native_path(path, runner):
    # Wine maps the Unix root to drive Z:.
    return "Z:" + path.replace("/", "\\") if runner else path


def run_ctl(args, arguments):
    """Runs quorvelctl; returns (exit code, stdout, stderr). Output goes
    through files, not pipes: a wineserver started by the first Wine program
    would hold a pipe open long after the program has ended."""
    command = ([args.runner] if args.runner else []) + [args.ctl] + arguments
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        code = subprocess.run(command, stdout=out, stderr=err, stdin=subprocess.DEVNULL,
                              timeout=180).returncode
        out.seek(0)
        err.seek(0)
        return code, out.read().decode(errors="replace"), err.read().decode(errors="replace")


def fetch(args, url, out):
    code, stdout, stderr = run_ctl(args, ["fetch", url, native_path(out, args.runner)])
    fields = {}
    for line in stdout.replace("\r", "").splitlines():
        if line.startswith("status "):
            fields["status"] = int(line.split()[1])
        elif line.startswith("body bytes "):
            fields["body_bytes"] = int(line.split()[2])
    return code, fields, stderr


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def run(args, work):
    www = os.path.join(work, "www")
    digests = write_files(www)
    servers = []
    try:
        nginx_port = harness.free_port()
        servers.append(("nginx", nginx_port, start_nginx(work, www, nginx_port)))
        python_port = harness.free_port()
        servers.append(("http.server", python_port, start_python_server(www, python_port)))

        for server, port, _ in servers:
            for name, size in SIZES.items():
                out = os.path.join(work, f"got-{server}-{name}")
                code, fields, stderr = fetch(args, f"http://127.0.0.1:{port}/{name}", out)
                label = f"{server} {name}"
                check(code == 0, f"{label}: exit {code}, stderr {stderr.strip()!r}")
                check(fields.get("status") == 200, f"{label}: status {fields.get('status')}")
                check(fields.get("body_bytes") == size,
                      f"{label}: body bytes {fields.get('body_bytes')}, expected {size}")
                check(os.path.exists(out) and os.path.getsize(out) == size,
                      f"{label}: file size {os.path.getsize(out) if os.path.exists(out) else None}")
                check(os.path.exists(out) and sha256_of(out) == digests[name],
                      f"{label}: file bytes differ")
                if os.path.exists(out):
                    os.remove(out)
                print(f"ok {label} ({size} bytes)", flush=True)

            out = os.path.join(work, "missing.out")
            code, fields, _ = fetch(args, f"http://127.0.0.1:{port}/no-such-file.bin", out)
            check(code == 1, f"{server} missing file: exit {code}")
            check(fields.get("status") == 404, f"{server} missing file: status {fields.get('status')}")
            print(f"ok {server} missing file", flush=True)

        port = servers[0][1]
        # https to a server that speaks plain HTTP: a failed fetch, not a
        # file (the TLS cases proper are e2e_tls's).
        code, _, _ = fetch(args, f"https://127.0.0.1:{port}/one.bin", os.path.join(work, "x"))
        check(code == 1, f"https URL to a plain server: exit {code}")
        code, _, _ = run_ctl(args, ["fetch", "x"])
        check(code == 2, f"fetch with one argument: exit {code}")

        # A fetch that fails before any reply leaves no file where there was
        # none, and one that was there as it was.
        refused = harness.free_port()  # nothing listens there
        kept = os.path.join(work, "kept.bin")
        with open(kept, "wb") as f:
            f.write(b"old bytes\n")
        for label, url in (("refused connection", f"http://127.0.0.1:{refused}/one.bin"),
                           ("port past 65535", f"http://127.0.0.1:{port + 65536}/one.bin"),
                           ("letters after the port", f"http://127.0.0.1:{port}abc/one.bin"),
                           ("a sign before the port", f"http://127.0.0.1:+{port}/one.bin"),
                           ("port 0", "http://127.0.0.1:0/one.bin")):
            out = os.path.join(work, "never.bin")
            code, fields, _ = fetch(args, url, out)
            check(code != 0 and fields.get("status") != 200, f"{label}: exit {code}, {fields}")
            check(not os.path.exists(out), f"{label}: an output file was made")
            code, _, _ = fetch(args, url, kept)
            with open(kept, "rb") as f:
                check(f.read() == b"old bytes\n", f"{label}: the file there was changed")
            print(f"ok {label}: no file made, none changed", flush=True)
    finally:
        for _, _, process in servers:
            process.send_signal(signal.SIGTERM)
        for _, _, process in servers:
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--ctl", required=True)
    parser.add_argument("--runner", default="")
    args = parser.parse_args()
    if args.runner:
        harness.prepare_wine(args.runner)
    work = tempfile.mkdtemp(prefix="quorvel-fetch-")
    try:
        run(args, work)
    except Exception as error:  # a server that cannot start is a failure
        failures.append(str(error))
        print("FAIL: " + str(error), flush=True)
    finally:
        harness.remove_scratch(work)
    if failures:
        print(f"{len(failures)} check(s) failed")
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
