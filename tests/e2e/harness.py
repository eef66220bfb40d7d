"""Shared pieces of the end-to-end tests: the programs under test (native or
under Wine), real servers on 127.0.0.1 (nginx, PHP's built-in server, a
scripted server for faults), the launcher run on a pseudo-terminal, and the
X11 window driven like a person would: xdotool clicks, a WM_DELETE_WINDOW
close, screenshots read back from the screen. Scratch folders go when their
test ends; without a working DISPLAY the tests get a private Xvfb.
"""
import atexit
import contextlib
import ctypes
import ctypes.util
import os
import pty
import re
import select
import shutil
import signal
import socket
import socketserver
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError(f"nothing listens on 127.0.0.1:{port}")


# ---- Scratch folders ----------------------------------------------------------

def remove_scratch(path):
    """Removes a scratch folder and everything in it; QUORVEL_KEEP_SCRATCH=1
    keeps it to look at after a failure."""
    if os.environ.get("QUORVEL_KEEP_SCRATCH") == "1":
        print(f"kept scratch folder {path}", file=sys.stderr)
    elif os.path.lexists(path):
        shutil.rmtree(path)


def scratch_dir(case, prefix):
    """A new folder under the temporary directory, removed after the test
    case's tearDown and cleanups, also when setUp or the test failed."""
    path = tempfile.mkdtemp(prefix=prefix)
    case.addCleanup(remove_scratch, path)
    return path


def snapshot(root):
    """Every file below root with its bytes."""
    found = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            if os.path.isfile(path):
                with open(path, "rb") as f:
                    found[os.path.relpath(path, root)] = f.read()
    return found


@contextlib.contextmanager
def small_mount(path, size):
    """A tmpfs of the given size at path (root only); skips without it."""
    os.makedirs(path, exist_ok=True)
    if subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", path],
                      capture_output=True).returncode != 0:
        raise unittest.SkipTest("cannot mount a tmpfs here (needs root)")
    try:
        yield path
    finally:
        subprocess.run(["umount", "-l", path], capture_output=True)


# ---- The X display ------------------------------------------------------------

def display_answers(display):
    return subprocess.run(["xdpyinfo", "-display", display], capture_output=True,
                          timeout=30).returncode == 0


def _end_with_parent():
    """In the child before exec: a SIGTERM when the test process dies, however
    it dies, so no Xvfb outlives its test."""
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def start_xvfb(screen="1280x1024x24", timeout=20.0):
    """A private Xvfb; it picks a free display number itself and tells it on
    a pipe. -noreset: by default the server resets when its last client
    leaves and refuses connections meanwhile. Returns (process, ":N")."""
    read_end, write_end = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", screen,
                               "-nolisten", "tcp", "-noreset"],
                              pass_fds=(write_end,), stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, preexec_fn=_end_with_parent)
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        number = pipe.readline().strip()
    display = f":{number}"
    deadline = time.monotonic() + timeout
    while not number or not display_answers(display):
        if not number or time.monotonic() > deadline or server.poll() is not None:
            stop_process(server)
            raise RuntimeError(f"Xvfb did not start ({display!r})")
        time.sleep(0.1)
    return server, display


def stop_process(process):
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


_private_display = None


def ensure_display():
    """Keeps a DISPLAY that answers; otherwise starts a private Xvfb for the
    rest of this process and points DISPLAY (and so every program started
    later) at it, so the tests run from a plain ctest with no desktop."""
    global _private_display
    current = os.environ.get("DISPLAY")
    if current and (current == _private_display or display_answers(current)):
        return
    server, display = start_xvfb()
    atexit.register(stop_process, server)
    _private_display = display
    os.environ["DISPLAY"] = display


# ---- The programs under test ------------------------------------------------

# A file that does not verify is tried again after 1 s, then 2, 4... up to a
# minute. The programs under test start from 20 ms instead, so that the cases
# that count tries take no longer than before; the cases about the waits
# themselves give the programs an empty value, which keeps the real ones.
os.environ.setdefault("QUORVEL_RETRY_WAIT_MS", "20")

class Programs:
    """Where the built programs are and how to start them."""

    def __init__(self, launcher, ctl, game, runner=""):
        self.launcher = launcher
        self.ctl = ctl
        self.game = game
        self.runner = runner
        self.windows = launcher.endswith(".exe")
        ensure_display()
        if self.windows:
            prepare_wine(runner)

    def command(self, program, *args):
        return ([self.runner] if self.runner else []) + [program, *args]

    def native_path(self, path):
        """A path as the program under test spells it."""
        if self.windows:
            return "Z:" + os.path.abspath(path).replace("/", "\\")
        return path


_wine_keeper = None
_wine_session_ours = False


def wine_prefix():
    """The prefix cmake/wine-run runs programs in."""
    cache = os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache")
    return os.environ.get("WINEPREFIX") or os.path.join(cache, "quorvel", "wine")


def wait_for_wineserver(timeout):
    """Waits until no wineserver runs in the prefix; False when one still
    does (a persistent one of scripts/test, say)."""
    try:
        subprocess.run(["wineserver", "-w"], env=dict(os.environ, WINEPREFIX=wine_prefix()),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=timeout)
        return True
    except subprocess.TimeoutExpired:
        return False


def prepare_wine(runner):
    """One Wine session for the whole test program, as scripts/test keeps
    one: each new session puts APPDATA back into the registry, over the
    environment's, and a wineserver that a test's program starts holds that
    program's output pipes until it ends. A cmd waiting on its input holds
    the session until this process ends. With a private display a running
    session is waited out first: its desktop stays on the display it began
    with (or on none)."""
    global _wine_keeper, _wine_session_ours
    if _wine_keeper is not None:
        return
    if _private_display is not None:
        _wine_session_ours = wait_for_wineserver(timeout=30)
    quiet = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL,
             "stderr": subprocess.DEVNULL}
    # The first programs of a new wineserver can hang when several start at
    # once; this one starts it on its own (and creates the prefix if need be).
    subprocess.run([runner, "cmd", "/c", "exit"], timeout=300, **quiet)
    _wine_keeper = subprocess.Popen([runner, "cmd"], preexec_fn=_end_with_parent,
                                    **dict(quiet, stdin=subprocess.PIPE))
    atexit.register(_end_wine_session)
    subprocess.run([runner, "reg", "delete", r"HKCU\Volatile Environment", "/v", "APPDATA", "/f"],
                   timeout=120, **quiet)


def _end_wine_session():
    _wine_keeper.stdin.close()
    try:
        _wine_keeper.wait(timeout=20)
    except subprocess.TimeoutExpired:
        stop_process(_wine_keeper)
    if _wine_session_ours:
        # Its desktop lives on the private display: let it end before that.
        wait_for_wineserver(timeout=30)


# ---- Servers ------------------------------------------------------------------

class Nginx:
    """Debian's nginx serving a folder; "<prefix>/catalog.php" is the static
    catalog.txt beside the folder's files. Its access log gives each
    request's Range header after the bytes sent. catalog_rule: directives
    for the catalog's location (a Cache-Control header, say); more: further
    lines of the server block (locations). tls: (certificate, key) PEM files
    to serve https:// with, at https://localhost:PORT; extra: more lines for
    its server block (a location that redirects, say)."""

    def __init__(self, root, catalog_file, prefix="/quorvel/data", limit_rate=None,
                 catalog_rule="", more="", tls=None, extra=""):
        self.dir = tempfile.mkdtemp(prefix="quorvel_nginx_")
        self.process = None
        try:
            self._start(root, catalog_file, prefix, limit_rate, catalog_rule, more, tls, extra)
        except BaseException:
            self.stop()  # the caller never gets an object to stop
            raise

    def _start(self, root, catalog_file, prefix, limit_rate, catalog_rule, more, tls, extra):
        self.port = free_port()
        self.access_log = os.path.join(self.dir, "access.log")
        rate = f"limit_rate {limit_rate};" if limit_rate else ""
        if tls:
            extra = f"ssl_certificate {tls[0]};\n        ssl_certificate_key {tls[1]};\n" + extra
        conf = f"""
daemon off;
master_process off;
worker_processes 1;
user root;
error_log {self.dir}/error.log;
pid {self.dir}/nginx.pid;
events {{ worker_connections 64; }}
http {{
    log_format ranges '$remote_addr - - [$time_local] "$request" $status $body_bytes_sent '
                      '"$http_range"';
    access_log {self.access_log} ranges;
    client_body_temp_path {self.dir}/body;
    proxy_temp_path {self.dir}/proxy;
    fastcgi_temp_path {self.dir}/fastcgi;
    uwsgi_temp_path {self.dir}/uwsgi;
    scgi_temp_path {self.dir}/scgi;
    types {{ }}
    default_type application/octet-stream;
    server {{
        listen 127.0.0.1:{self.port}{" ssl" if tls else ""};
        {rate}
        {extra}
        location = {prefix}/catalog.php {{ alias {catalog_file}; {catalog_rule} }}
        location {prefix}/ {{ alias {root}/; }}
        {more}
    }}
}}
"""
        path = os.path.join(self.dir, "nginx.conf")
        with open(path, "w") as f:
            f.write(conf)
        self.process = subprocess.Popen(["nginx", "-c", path, "-p", self.dir],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for_port(self.port)
        self.base = (f"https://localhost:{self.port}{prefix}/" if tls
                     else f"http://127.0.0.1:{self.port}{prefix}/")

    def requests(self):
        """Request lines received so far ("GET /x HTTP/1.0")."""
        with open(self.access_log) as f:
            return re.findall(r'"([A-Z]+ [^"]* HTTP/[0-9.]+)"', f.read())

    def stop(self):
        if self.process is not None:
            stop_process(self.process)
        remove_scratch(self.dir)


class PhpServer:
    """PHP's built-in server running server/catalog.php in a game folder; its
    cache of the files' hashes beside the folder (ROOT.catalog-cache)."""

    def __init__(self, root, exe_name="game.exe", notes_name="notes.txt", extra_env=None):
        self.port = free_port()
        env = dict(os.environ, QUORVEL_EXE=exe_name, QUORVEL_NOTES=notes_name,
                   QUORVEL_CATALOG_CACHE=os.path.abspath(root) + ".catalog-cache")
        env.update(extra_env or {})
        self.process = subprocess.Popen(
            ["php", "-S", f"127.0.0.1:{self.port}", "-t", root],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
        wait_for_port(self.port)
        self.base = f"http://127.0.0.1:{self.port}"

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)


class ScriptedServer:
    """A server whose every answer is programmed: for each path, a list of
    replies used in turn (the last one repeats). A reply is raw bytes (sent,
    then the connection closes), ("cut", bytes, n) to close after n bytes,
    ("stall", bytes) to send and then hold the connection open, or None to
    accept and never answer. Hostile replies: ("reset", bytes, n) sends n
    bytes and then resets the connection (SO_LINGER 0), ("drip", bytes,
    seconds) sends one byte per interval, ("endless", head, seconds) sends
    head and then body bytes without end until the client goes or the time
    bound passes; ("hold", bytes, n, event) sends n bytes, waits for the
    threading.Event and sends the rest. A callable reply is given the
    request's text and returns the bytes to send (for answers that depend on
    the request, such as a Range). Requests are recorded; sent[path] counts
    the bytes sent."""

    def __init__(self):
        self.replies = {}
        self.requests = []
        self.sent = {}
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        outer = self

        class Handler(socketserver.BaseRequestHandler):
            def handle(self):
                data = b""
                while b"\n\n" not in data and b"\r\n\r\n" not in data:
                    chunk = self.request.recv(65536)
                    if not chunk:
                        return
                    data += chunk
                request_line = data.split(b"\n", 1)[0].decode("latin-1").rstrip("\r")
                path = request_line.split(" ")[1] if " " in request_line else ""
                with outer.lock:
                    outer.requests.append(data.decode("latin-1"))
                    plan = outer.replies.get(path) or outer.replies.get("*")
                    count = outer.paths().count(path)
                reply = plan[min(count, len(plan)) - 1] if plan else not_found()
                if callable(reply):
                    reply = reply(data.decode("latin-1"))
                if reply is None:
                    outer.stopping.wait(600)
                elif isinstance(reply, bytes):
                    try:
                        self.request.sendall(reply)
                    except OSError:
                        pass  # a client that refused the reply and went
                elif reply[0] == "cut":
                    self.request.sendall(reply[1][:reply[2]])
                elif reply[0] == "stall":
                    self.request.sendall(reply[1])
                    outer.stopping.wait(600)
                elif reply[0] == "reset":
                    self.request.sendall(reply[1][:reply[2]])
                    time.sleep(0.2)  # the bytes reach the client ahead of the reset
                    self.request.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                            struct.pack("ii", 1, 0))
                    self.request.close()
                elif reply[0] == "drip":
                    for i in range(len(reply[1])):
                        if outer.stopping.wait(reply[2]):
                            return
                        try:
                            self.request.sendall(reply[1][i:i + 1])
                        except OSError:
                            return
                elif reply[0] == "hold":
                    self.request.sendall(reply[1][:reply[2]])
                    reply[3].wait(120)
                    try:
                        self.request.sendall(reply[1][reply[2]:])
                    except OSError:
                        pass
                elif reply[0] == "endless":
                    self.send_endless(path, reply[1], reply[2])

            def send_endless(self, path, head, seconds):
                block = bytes(range(256)) * 256
                deadline = time.monotonic() + seconds
                total = 0
                self.request.settimeout(0.5)  # a client that stops reading
                try:
                    self.request.sendall(head)
                    while time.monotonic() < deadline and not outer.stopping.is_set():
                        try:
                            total += self.request.send(block)
                        except socket.timeout:
                            continue
                        with outer.lock:
                            outer.sent[path] = total
                except OSError:
                    pass

        class Server(socketserver.ThreadingTCPServer):
            daemon_threads = True
            allow_reuse_address = True

        self.server = Server(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()
        self.base = f"http://127.0.0.1:{self.port}/q/"

    def paths(self):
        return [r.split("\n", 1)[0].split(" ")[1] for r in self.requests]

    def stop(self):
        self.stopping.set()
        self.server.shutdown()
        self.server.server_close()


def ok(body, status="200 OK"):
    return f"HTTP/1.0 {status}\r\nContent-Type: application/octet-stream\r\n\r\n".encode() + body


def not_found():
    return ok(b"not here", "404 Not Found")


# ---- The launcher on a pseudo-terminal -------------------------------------------

ESCAPES = re.compile(rb"\x1b\[[0-9;?]*[A-Za-z]|\x1b\][^\x07]*\x07|\x1b[()][0-9A-B]")
CURSOR_FORWARD = re.compile(rb"\x1b\[([0-9]*)C")


def terminal_text(raw):
    """What a terminal shows of raw output. Wine's console draws a blank as
    erase-line plus cursor-forward; every other escape is dropped."""
    raw = CURSOR_FORWARD.sub(lambda m: b" " * int(m.group(1) or b"1"), raw)
    return ESCAPES.sub(b"", raw).replace(b"\r", b"\n").decode("latin-1")


class Launcher:
    """The launcher running with its own APPDATA. Its console lines are read
    from a pseudo-terminal: the Windows build writes them to the console of
    the process that started it, which Wine turns into terminal output."""

    def __init__(self, programs, appdata, *args, extra_env=None, program=None):
        """appdata is a local folder; the program gets it in its own spelling.
        program: another build of the launcher (its signed twin)."""
        self.programs = programs
        os.makedirs(appdata, exist_ok=True)
        env = dict(os.environ)
        env["APPDATA"] = programs.native_path(appdata)
        env.update(extra_env or {})
        master, slave = pty.openpty()
        self.master = master
        self.output = b""
        self.process = subprocess.Popen(programs.command(program or programs.launcher, *args),
                                        stdin=slave, stdout=slave, stderr=slave, env=env,
                                        close_fds=True)
        os.close(slave)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        while True:
            try:
                ready, _, _ = select.select([self.master], [], [], 0.2)
                if ready:
                    chunk = os.read(self.master, 65536)
                    if not chunk:
                        return
                    self.output += chunk
                elif self.process.poll() is not None:
                    # Drain what is left once the program has ended.
                    try:
                        while True:
                            chunk = os.read(self.master, 65536)
                            if not chunk:
                                return
                            self.output += chunk
                    except OSError:
                        return
            except OSError:
                return

    def lines(self):
        text = terminal_text(self.output)
        return [line.rstrip() for line in text.split("\n") if line.strip()]

    def wait_for_line(self, line, timeout=60.0, count=1):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.lines().count(line) >= count:
                return
            if self.process.poll() is not None:
                time.sleep(0.3)
                if self.lines().count(line) >= count:
                    return
                break
            time.sleep(0.05)
        raise AssertionError(f"no line {line!r} (x{count}); got {self.lines()}")

    def wait(self, timeout=60.0):
        code = self.process.wait(timeout=timeout)
        self.reader.join(timeout=5)
        return code

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(timeout=10)
        try:
            os.close(self.master)
        except OSError:
            pass


# ---- The window, driven like a person would ----------------------------------------

TITLE = "Quorvel Launcher"


def find_window(launcher=None, timeout=60.0, title=TITLE):
    """The launcher's window once it is shown; fails early when the program
    has ended without one. A brand's launcher has its own title."""
    if not os.environ.get("DISPLAY"):
        raise AssertionError("no X display: DISPLAY is not set")
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if launcher is not None and launcher.process.poll() is not None:
            raise AssertionError(f"the launcher ended ({launcher.process.returncode}) "
                                 f"without a window: {launcher.lines()}")
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", f"^{title}$"],
                               capture_output=True, text=True)
        ids = found.stdout.split()
        if ids:
            return int(ids[0])
        time.sleep(0.1)
    raise AssertionError("the launcher window did not appear")


def window_gone(window, timeout=20.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", f"^{TITLE}$"],
                               capture_output=True, text=True)
        if str(window) not in found.stdout.split():
            return True
        time.sleep(0.1)
    return False


def click(window, x, y):
    subprocess.run(["xdotool", "mousemove", "--window", str(window), str(x), str(y),
                    "sleep", "0.1", "click", "1"], check=True)


def move_away(window):
    subprocess.run(["xdotool", "mousemove", "--window", str(window), "5", "395"], check=True)


_xlib = None


def close_window(window):
    """Asks the window to close as a window manager's close button does: a
    WM_DELETE_WINDOW client message of the WM_PROTOCOLS kind."""
    global _xlib
    if _xlib is None:
        _xlib = ctypes.cdll.LoadLibrary(ctypes.util.find_library("X11"))
        _xlib.XOpenDisplay.restype = ctypes.c_void_p
        _xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
        _xlib.XInternAtom.restype = ctypes.c_ulong
        _xlib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        _xlib.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int,
                                     ctypes.c_long, ctypes.c_void_p]
        _xlib.XFlush.argtypes = [ctypes.c_void_p]
        _xlib.XCloseDisplay.argtypes = [ctypes.c_void_p]

    class ClientMessage(ctypes.Structure):
        _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                    ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                    ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                    ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]

    class Event(ctypes.Union):
        _fields_ = [("client", ClientMessage), ("pad", ctypes.c_long * 24)]

    display = _xlib.XOpenDisplay(None)
    if not display:
        raise RuntimeError("cannot open the X display")
    event = Event()
    event.client.type = 33  # ClientMessage
    event.client.window = window
    event.client.message_type = _xlib.XInternAtom(display, b"WM_PROTOCOLS", 0)
    event.client.format = 32
    event.client.data[0] = _xlib.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
    event.client.data[1] = 0  # CurrentTime
    sent = _xlib.XSendEvent(display, window, 0, 0, ctypes.byref(event))
    _xlib.XFlush(display)
    _xlib.XCloseDisplay(display)
    if sent == 0:
        raise AssertionError("XSendEvent failed")


def screenshot(window, path):
    """The window's pixels as the X server shows them."""
    subprocess.run(["import", "-window", str(window), path], check=True,
                   capture_output=True, timeout=30)
    return path


class ServerCase(unittest.TestCase):
    """A test case with a scratch folder, and servers and launchers that are
    stopped when it ends whatever happened."""

    scratch_prefix = "quorvel_e2e_"

    def setUp(self):
        # Cleanups, not tearDown: they run also when a subclass's setUp fails
        # after this one, last in first out, so the folder goes last.
        self.tmp = scratch_dir(self, self.scratch_prefix)
        self.servers = []
        self.launchers = []
        self.addCleanup(self._stop_all)

    def _stop_all(self):
        for launcher in self.launchers:
            launcher.kill()
        for server in self.servers:
            server.stop()
