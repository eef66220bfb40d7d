"""Drives the demo launcher through its screens under Xvfb and keeps a
screenshot of each: Checking (a server that never answers), Retry (no
server, no files), Download (mid-transfer) and Ready, then clicks Play. When
the data directory is already complete, the run goes straight to Ready."""
import argparse
import os
import shutil
import socket
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tests", "e2e"))
import harness  # noqa: E402

parser = argparse.ArgumentParser()
for name in ("launcher", "runner", "appdata", "base", "screens", "data"):
    parser.add_argument("--" + name, default="")
args = parser.parse_args()
programs = harness.Programs(args.launcher, "", "", args.runner)


def run(appdata, base, screens):
    launcher = harness.Launcher(programs, appdata, base)
    window = harness.find_window(launcher)
    screens(launcher, window)
    launcher.kill()


def shot(window, name):
    harness.move_away(window)
    time.sleep(0.4)
    path = os.path.join(args.screens, name + ".png")
    harness.screenshot(window, path)
    print(f"demo: {name} screen -> {path}")


def checking(launcher, window):
    time.sleep(1.5)
    shot(window, "checking")
    harness.close_window(window)
    launcher.wait(timeout=30)


def retry(launcher, window):
    launcher.wait_for_line("Fallo de ficheros: Reintentando")
    shot(window, "retry")
    harness.close_window(window)
    launcher.wait(timeout=30)


def update(launcher, window):
    complete = os.path.exists(os.path.join(args.data, "catalog.txt"))
    deadline = time.monotonic() + 120
    took_download = False
    while time.monotonic() < deadline:
        if "Listo para jugar!" in launcher.lines():
            break
        if not took_download and "Fetching Catalog" in " ".join(launcher.lines()):
            time.sleep(1.5)
            if "Listo para jugar!" not in launcher.lines():
                shot(window, "download")
                took_download = True
        time.sleep(0.1)
    launcher.wait_for_line("Listo para jugar!")
    shot(window, "ready" if took_download or not complete else "ready-second-run")
    time.sleep(0.3)
    harness.click(window, 200, 312)
    code = launcher.wait(timeout=30)
    print(f"demo: Play clicked, launcher ended with code {code}")
    for line in launcher.lines():
        print("   launcher: " + line)


silent = socket.socket()
silent.bind(("127.0.0.1", 0))
silent.listen(4)
silent_base = "http://127.0.0.1:%d/quorvel/data/" % silent.getsockname()[1]
run(args.appdata, silent_base, checking)
silent.close()

empty = tempfile.mkdtemp(prefix="quorvel_demo_empty_")
dead = harness.free_port()
try:
    run(empty, f"http://127.0.0.1:{dead}/quorvel/data/", retry)
finally:
    shutil.rmtree(empty, ignore_errors=True)

run(args.appdata, args.base, update)
started = os.path.join(args.data, "game-started.txt")
if os.path.exists(started):
    with open(started) as f:
        print("demo: the game started: " + f.read().replace("\n", " "))
