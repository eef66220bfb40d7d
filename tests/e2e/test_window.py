#!/usr/bin/python3
"""End-to-end test of the window on a real X display.

Runs window_probe (natively, or the Windows build through the Wine runner),
finds its window with xdotool, checks the client area's size and place,
reads the screen back and compares it with the probe's picture pixel for
pixel, clicks with xdotool, types keys, closes the window the way a window
manager does (a WM_DELETE_WINDOW client message) and checks the probe's log
and exit code. Then it makes window_open fail at each step it can.

Usage: test_window.py --probe PATH [--runner WINE_RUNNER]
"""
import argparse
import ctypes
import os
import queue
import struct
import subprocess
import sys
import threading
import time

import harness

TIMEOUT = 20.0
SIZE = 400


class Probe:
    """A running window_probe with its output lines collected."""

    def __init__(self, command, env=None):
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        stdin=subprocess.DEVNULL, env=env)
        self.lines = []
        self.stderr = b""
        self.pending = queue.Queue()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        # Read apart: a process the probe leaves behind (Wine starts helpers)
        # may hold the pipe open long after the probe ended.
        self.stderr_parts = []
        self.stderr_reader = threading.Thread(target=self._read_stderr, daemon=True)
        self.stderr_reader.start()

    def _read(self):
        for raw in self.process.stdout:
            self.pending.put(raw.decode("latin-1").rstrip("\r\n"))
        self.pending.put(None)

    def _read_stderr(self):
        for chunk in iter(lambda: self.process.stderr.read1(65536), b""):
            self.stderr_parts.append(chunk)

    def _take(self, timeout):
        line = self.pending.get(timeout=timeout)
        if line is not None:
            self.lines.append(line)
        return line

    def wait_line(self, prefix, timeout=TIMEOUT):
        """Returns the first line (seen or new) starting with prefix."""
        for line in self.lines:
            if line.startswith(prefix):
                return line
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"no line {prefix!r} in {self.lines}")
            try:
                line = self._take(left)
            except queue.Empty:
                continue
            if line is None:
                self.process.wait(TIMEOUT)
                self.stderr_reader.join(TIMEOUT)
                raise AssertionError(f"probe ended without {prefix!r}: {self.lines} "
                                     f"{b''.join(self.stderr_parts)!r}")
            if line.startswith(prefix):
                return line

    def settle(self, quiet=0.4, timeout=5.0):
        """Collects lines until none has come for `quiet` seconds."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                if self._take(quiet) is None:
                    return
            except queue.Empty:
                return

    def new_lines(self, since, prefixes=("move", "down", "up")):
        return [l for l in self.lines[since:] if l.split(" ")[0] in prefixes]

    def finish(self, timeout=TIMEOUT):
        code = self.process.wait(timeout=timeout)
        self.reader.join(timeout)
        while True:
            try:
                if self._take(0) is None:
                    break
            except queue.Empty:
                break
        self.stderr_reader.join(timeout)
        self.stderr = b"".join(self.stderr_parts)
        return code

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def find_window(title, timeout=TIMEOUT):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", f"^{title}$"],
                               capture_output=True, text=True).stdout.split()
        if found:
            if len(found) != 1:
                raise AssertionError(f"several windows titled {title!r}: {found}")
            return int(found[0])
        time.sleep(0.1)
    raise AssertionError(f"no visible window titled {title!r}")


def window_exists(window):
    return subprocess.run(["xwininfo", "-id", str(window)], capture_output=True).returncode == 0


def geometry(window):
    info = {}
    for line in run("xwininfo", "-id", str(window)).splitlines():
        key, _, value = line.strip().partition(":")
        info[key] = value.strip()
    return (int(info["Absolute upper-left X"]), int(info["Absolute upper-left Y"]),
            int(info["Width"]), int(info["Height"]))


def root_window():
    for line in run("xwininfo", "-root").splitlines():
        if "Window id:" in line:
            return int(line.split("Window id:")[1].split()[0], 16)
    raise AssertionError("no root window")


class Screenshot:
    """The whole screen read back with xwd: raw pixel values and masks."""

    def __init__(self):
        data = subprocess.run(["xwd", "-root", "-silent"], check=True,
                              capture_output=True).stdout
        fields = struct.unpack(">25I", data[:100])
        (header_size, _version, pixmap_format, _depth, width, height, _xoffset, byte_order,
         _unit, _bit_order, _pad, bits_per_pixel, bytes_per_line, _visual_class, red_mask,
         green_mask, blue_mask, _bits_per_rgb, _entries, ncolors) = fields[:20]
        if pixmap_format != 2 or bits_per_pixel not in (16, 24, 32):
            raise AssertionError(f"unexpected xwd image: format {pixmap_format}, "
                                 f"{bits_per_pixel} bits per pixel")
        self.width, self.height = width, height
        self.bytes_per_pixel = bits_per_pixel // 8
        self.bytes_per_line = bytes_per_line
        self.order = "big" if byte_order == 1 else "little"
        self.masks = (red_mask, green_mask, blue_mask)
        self.pixels = data[header_size + 12 * ncolors:]

    def raw(self, x, y):
        at = y * self.bytes_per_line + x * self.bytes_per_pixel
        return int.from_bytes(self.pixels[at:at + self.bytes_per_pixel], self.order)

    def channels(self, x, y):
        value = self.raw(x, y)
        out = []
        for mask in self.masks:
            shift = (mask & -mask).bit_length() - 1
            out.append((value & mask) >> shift)
        return tuple(out)

    def expected(self, r, g, b):
        """What a colour looks like at this screen depth: each channel's top bits."""
        out = []
        for mask, value in zip(self.masks, (r, g, b)):
            bits = bin(mask).count("1")
            out.append(value >> (8 - bits) if bits <= 8 else value)
        return tuple(out)


def probe_colour(x, y):
    """The probe's test picture, as (r, g, b)."""
    return (((x >> 8) << 7) | ((y >> 8) << 6) | ((x ^ y) & 63), y & 255, x & 255)


def send_delete_window(window):
    """Sends WM_PROTOCOLS / WM_DELETE_WINDOW, as a window manager's close does."""
    harness.close_window(window)


def field(line, name):
    for word in line.split():
        if word.startswith(name + "="):
            return word[len(name) + 1:]
    raise AssertionError(f"no {name}= in {line!r}")


class Checks:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def case(self, name, function):
        try:
            function()
        except Exception as error:  # every failure is reported, the rest still run
            self.failed += 1
            print(f"FAIL {name}: {error}", flush=True)
        else:
            self.passed += 1
            print(f"ok   {name}", flush=True)


def check_picture(window):
    x0, y0, width, height = geometry(window)
    shot = Screenshot()
    mismatches = []
    for y in range(height):
        for x in range(width):
            want = shot.expected(*probe_colour(x, y))
            got = shot.channels(x0 + x, y0 + y)
            if got != want:
                mismatches.append((x, y, got, want))
    if mismatches:
        raise AssertionError(f"{len(mismatches)} pixels differ, first {mismatches[:5]}")


def scenario_main(command, is_wine, checks):
    title = f"Quorvel Probe {os.getpid()}"
    probe = Probe(command + [title])
    try:
        probe.wait_line("shown")
        window = find_window(title)

        def opened():
            before = probe.wait_line("before_open")
            assert before == "before_open closed=1 width=0 height=0", before
            assert probe.wait_line("open") == f"open 1 width={SIZE} height={SIZE}"
            assert probe.wait_line("black") == "black 1 closed=0", "buffer did not start black"
            assert probe.wait_line("fill") == "fill 1", "backbuffer_fill missed pixels"
            assert probe.wait_line("paint"), "no paint after window_show"

        def client_area():
            x, y, width, height = geometry(window)
            assert (width, height) == (SIZE, SIZE), f"client area {width}x{height}"
            left, top, right, bottom = map(int, probe.wait_line("outer").split()[1:])
            screen_width, screen_height = geometry(root_window())[2:]
            assert left == (screen_width - (right - left)) // 2, f"outer {left} {right}"
            assert top == (screen_height - (bottom - top)) // 2, f"outer {top} {bottom}"
            assert left <= x and x + width <= right and top <= y and y + height <= bottom, \
                f"client {x},{y} outside the outer rectangle {left},{top},{right},{bottom}"

        def icon():
            line = probe.wait_line("icon")
            assert line == "icon group=32x32x32,48x48x32,64x64x32,96x96x32 class_icon=1 " \
                           "small_icon=1", line

        def picture():
            probe.settle()
            check_picture(window)
            # Kept for people to look at: the window as read back from the screen.
            x, y, width, height = geometry(window)
            name = "window_screen_windows.png" if is_wine else "window_screen_linux.png"
            run("import", "-window", "root", "-crop", f"{width}x{height}+{x}+{y}", "+repage",
                os.path.join(os.path.dirname(os.path.abspath(command[-1])), name))

        def clicks():
            probe.settle()
            since = len(probe.lines)
            run("xdotool", "mousemove", "--window", str(window), "10", "20", "click", "1")
            probe.wait_line("up ", 5)
            probe.settle()
            got = probe.new_lines(since)
            assert got == ["move 10 20", "down 10 20 0", "up 10 20 0"], got
            since = len(probe.lines)
            run("xdotool", "mousemove", "--window", str(window), "399", "398")
            run("xdotool", "click", "--repeat", "2", "--delay", "40", "1")
            probe.settle()
            got = probe.new_lines(since)
            assert got == ["move 399 398", "down 399 398 0", "up 399 398 0",
                           "down 399 398 0", "up 399 398 0"], got

        def keys_do_nothing():
            probe.settle()
            since = len(probe.lines)
            run("xdotool", "windowfocus", "--sync", str(window))
            run("xdotool", "key", "a", "Return", "space", "Escape")
            probe.settle()
            got = probe.new_lines(since, ("move", "down", "up", "pump_wait", "pump_pending"))
            assert got == [], got
            assert window_exists(window), "a key closed the window"
            # Still answering: a click after the keys arrives.
            run("xdotool", "mousemove", "--window", str(window), "200", "100", "click", "1")
            probe.wait_line("up 200 100 0", 5)

        def pointer_outside_while_held():
            probe.settle()
            since = len(probe.lines)
            run("xdotool", "mousemove", "--window", str(window), "30", "40", "mousedown", "1")
            x0, y0 = geometry(window)[:2]
            run("xdotool", "mousemove", str(x0 - 25), str(y0 - 7), "mouseup", "1")
            probe.settle()
            got = probe.new_lines(since)
            assert got == ["move 30 40", "down 30 40 0", "move -25 -7", "up -25 -7 0"], got

        def close():
            send_delete_window(window)
            code = probe.finish()
            assert code == 0, f"exit code {code}, stderr {probe.stderr!r}"
            tail = [l for l in probe.lines if l.startswith(("pump", "after_close", "exit"))]
            assert tail == ["pump_wait 0 closed=1", "pump_wait_again 0", "pump_pending 0",
                            "pump_pending_again 1", "after_close fill=1 pump=1 paints=0",
                            "exit"], tail
            assert not window_exists(window), "window still there after the close"

        checks.case("window opens hidden-black, fills and paints", opened)
        checks.case("client area is exactly 400x400 and centred", client_area)
        checks.case("screen shows the back buffer pixel for pixel", picture)
        if is_wine:
            checks.case("icon resource 101 holds the four sizes and the class uses it", icon)
        checks.case("clicks arrive at client coordinates, two quick clicks as two pairs", clicks)
        checks.case("key presses have no effect", keys_do_nothing)
        if not is_wine:
            # X reports the pointer to the window that saw the press until the
            # release (an implicit grab), so positions outside come negative.
            # The Win32 window takes no capture, so there this cannot happen.
            checks.case("pointer left of the window while held gives negative x",
                        pointer_outside_while_held)
        checks.case("closing through WM_DELETE_WINDOW ends the pumps", close)
    finally:
        probe.kill()


def scenario_poll(command, is_wine, checks):
    title = f"Quorvel Poll {os.getpid()}"
    extra = ["--post-negative"] if is_wine else []
    probe = Probe(command + ["--poll", "--quit-order"] + extra + [title])
    try:
        def negative_messages():
            assert probe.wait_line("posted_negative") == "posted_negative 1"
            probe.wait_line("up ", 5)
            # The real pointer may add moves of its own; the queued pair
            # must arrive together and unchanged.
            got = probe.new_lines(0)
            assert got[-2:] == ["move -25 -7", "up -25 -7 0"], got
            assert [l for l in got if not l.startswith("move ")] == ["up -25 -7 0"], got

        def quit_order():
            line = probe.wait_line("quit_order")
            assert line == "quit_order first=0 painted=0 second=1 painted=1", line

        def close_while_polling():
            probe.wait_line("shown")
            window = find_window(title)
            send_delete_window(window)
            code = probe.finish()
            assert code == 0, f"exit code {code}"
            tail = [l for l in probe.lines if l.startswith(("pump", "after_close", "exit"))]
            assert tail == ["pump_pending 0 closed=1", "pump_wait_after 0",
                            "after_close fill=1 pump=1 paints=0", "exit"], tail

        if is_wine:
            checks.case("mouse messages left of and above the client give negative x, y",
                        negative_messages)
        checks.case("quit message is taken before a pending repaint, which stays queued",
                    quit_order)
        checks.case("closing while polling: pump_pending returns 0, pump_wait 0", close_while_polling)
    finally:
        probe.kill()


def scenario_failures(command, is_wine, checks):
    def failing(step, text, env=None):
        def check():
            args = ["--fail", step] if step else []
            probe = Probe(command + args + [f"Quorvel Fail {os.getpid()}"], env=env)
            try:
                code = probe.finish()
            finally:
                probe.kill()
            assert code == 1, f"exit code {code}: {probe.lines} {probe.stderr!r}"
            assert "open 0 width=0 height=0" in probe.lines, probe.lines
            if is_wine:
                dialogs = [l for l in probe.lines if l.startswith("dialog")]
                assert dialogs == [f"dialog caption=Error! text={text} warning_icon=1"], dialogs
            else:
                assert f"Error! {text}".encode() in probe.stderr, probe.stderr
        return check

    if is_wine:
        checks.case("class already registered: registration message",
                    failing("register", "Window Registration Failed!"))
        checks.case("creation refused: creation message",
                    failing("create", "Window Creation Failed!"))
    else:
        no_display = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
        checks.case("no display: message on stderr, exit 1",
                    failing(None, "Window Registration Failed!", env=no_display))
        checks.case("unreachable display: message on stderr, exit 1",
                    failing("register", "Window Registration Failed!"))
    checks.case("buffer too large: image message", lambda: failing_image(command, is_wine))


def failing_image(command, is_wine):
    probe = Probe(command + ["--fail", "image", "--size", "30000", "30000",
                             f"Quorvel Big {os.getpid()}"])
    try:
        code = probe.finish()
    finally:
        probe.kill()
    assert code == 1, f"exit code {code}: {probe.lines}"
    assert "open 0 width=0 height=0" in probe.lines, probe.lines
    if is_wine:
        dialogs = [l for l in probe.lines if l.startswith("dialog")]
        assert dialogs == ["dialog caption=Error! text=Image creation Failed! warning_icon=1"], \
            dialogs
    else:
        assert b"Error! Image creation Failed!" in probe.stderr, probe.stderr


def scenario_depth16(command, checks):
    """The same picture on a 16-bit (5-6-5) screen of a private Xvfb."""
    server, display = harness.start_xvfb("800x600x16", timeout=TIMEOUT)
    env = dict(os.environ, DISPLAY=display)
    saved_display = os.environ["DISPLAY"]
    probe = None
    try:
        os.environ["DISPLAY"] = display  # the helpers below use the environment
        title = f"Quorvel Depth16 {os.getpid()}"
        probe = Probe(command + [title], env=env)

        def picture_16():
            probe.wait_line("shown")
            window = find_window(title)
            assert geometry(window) == (200, 100, SIZE, SIZE), geometry(window)
            probe.settle()
            shot = Screenshot()
            assert shot.bytes_per_pixel == 2 and shot.masks == (0xF800, 0x07E0, 0x001F), \
                f"not a 5-6-5 screen: {shot.bytes_per_pixel} bytes, masks {shot.masks}"
            check_picture(window)
            send_delete_window(window)
            assert probe.finish() == 0, probe.lines

        checks.case("16-bit screen: picture converted through the visual's masks", picture_16)
    finally:
        os.environ["DISPLAY"] = saved_display
        if probe is not None:
            probe.kill()
        harness.stop_process(server)


def check_without_handlers(probe, window):
    """Paints still show the buffer and mouse input is answered, with no handler."""
    probe.settle()
    check_picture(window)
    run("xdotool", "mousemove", "--window", str(window), "50", "60", "click", "1")
    probe.settle()
    assert window_exists(window), "the window went away on a click without handlers"
    got = probe.new_lines(0, ("move", "down", "up", "paint"))
    assert got == [], got


def scenario_destroyed_elsewhere(command, checks):
    """Another client destroys the X window: the same end as a close."""
    title = f"Quorvel Destroyed {os.getpid()}"
    probe = Probe(command + ["--poll", "--no-handlers", title])
    try:
        def without_handlers():
            probe.wait_line("shown")
            check_without_handlers(probe, find_window(title))

        def destroyed():
            probe.wait_line("shown")
            run("xdotool", "windowclose", str(find_window(title)))
            assert probe.finish() == 0, probe.lines
            tail = [l for l in probe.lines if l.startswith(("pump", "after_close"))]
            assert tail == ["pump_pending 0 closed=1", "pump_wait_after 0",
                            "after_close fill=1 pump=1 paints=0"], tail

        checks.case("no handlers installed: picture shown, clicks answered", without_handlers)
        checks.case("window destroyed by another client ends the pumps", destroyed)
    finally:
        probe.kill()


def scenario_alt_f4(command, checks):
    title = f"Quorvel AltF4 {os.getpid()}"
    probe = Probe(command + ["--no-handlers", title])
    try:
        def without_handlers():
            probe.wait_line("shown")
            check_without_handlers(probe, find_window(title))

        def alt_f4():
            probe.wait_line("shown")
            window = find_window(title)
            run("xdotool", "windowfocus", "--sync", str(window))
            run("xdotool", "key", "alt+F4")
            assert probe.finish() == 0, probe.lines
            assert "pump_wait 0 closed=1" in probe.lines, probe.lines

        checks.case("no handlers installed: picture shown, clicks answered", without_handlers)
        checks.case("Alt+F4 closes the window", alt_f4)
    finally:
        probe.kill()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--probe", required=True)
    parser.add_argument("--runner")
    options = parser.parse_args()
    harness.ensure_display()
    if options.runner:
        harness.prepare_wine(options.runner)
    command = ([options.runner] if options.runner else []) + [options.probe]
    is_wine = options.runner is not None
    checks = Checks()
    scenario_main(command, is_wine, checks)
    scenario_poll(command, is_wine, checks)
    scenario_failures(command, is_wine, checks)
    if is_wine:
        scenario_alt_f4(command, checks)
    else:
        scenario_destroyed_elsewhere(command, checks)
        scenario_depth16(command, checks)
    print(f"{checks.passed} passed, {checks.failed} failed")
    return 0 if checks.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
