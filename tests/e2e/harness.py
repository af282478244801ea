"""What the end-to-end scenarios and the demo share: a private X display, a
Wine prefix of our own, the UI driver (uidriver.exe), a loopback update server
that answers each path as asked, and Qelda installed in the prefix.
Standard library only.
"""

import ctypes
import dataclasses
import http.server
import io
import json
import os
import random
import select
import shutil
import signal
import subprocess
import threading
import time
import urllib.parse
import zipfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
WINE64, WINESERVER = "/usr/lib/wine/wine64", "/usr/lib/wine/wineserver"
CAPTION = "Qelda升级程序"
REG_KEY = r"SOFTWARE\Brenvik\Qelda"  # under HKLM
INSTALL_WIN = r"C:\Program Files\Brenvik\Qelda"


class HarnessError(Exception):
    pass


class Stops:
    """A part of the run that a `with` (or an ExitStack) stops."""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def until(probe, seconds, what):
    """probe()'s first true answer within `seconds`; else fails with `what`."""
    deadline = time.monotonic() + seconds
    while not (got := probe()):
        assert time.monotonic() < deadline, "%s (waited %.0f s)" % (what, seconds)
        time.sleep(0.05)
    return got


def _die_with_parent():  # SIGTERM when the run dies, even by SIGKILL (a ctest time-out)
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


class Display(Stops):
    """A private Xvfb of 1024 x 768, or `existing` when that display works."""

    def __init__(self, existing=None):
        self.proc, self.name = None, existing
        if existing and self.answers():
            return
        for number in random.sample(range(500, 900), 5):  # away from the numbers others take
            self.name = ":%d" % number
            if os.path.exists("/tmp/.X%d-lock" % number):
                continue
            self.proc = subprocess.Popen(["Xvfb", self.name, "-screen", "0", "1024x768x24", "-nolisten",
                                          "tcp"], stderr=subprocess.DEVNULL, preexec_fn=_die_with_parent)
            deadline = time.monotonic() + 15
            while self.proc.poll() is None and time.monotonic() < deadline:
                if self.answers():  # a Wine session that comes earlier never gets its desktop
                    return
                time.sleep(0.1)
            self.stop()
        raise HarnessError("Xvfb did not start")

    def answers(self):
        return subprocess.run(["xdpyinfo", "-display", self.name], capture_output=True).returncode == 0

    def stop(self):
        if self.proc:
            self.proc.terminate()
            self.proc.wait()
            self.proc = None


class Wine(Stops):
    """Windows programs in one prefix (made by scripts/wine-env, with the CJK
    font link) on one display, inside Wine's virtual desktop unless `desktop`
    is false. stop() ends every Windows process of the prefix."""

    def __init__(self, prefix, display, log, desktop=True):
        self.prefix, self.log = os.path.abspath(prefix), log
        self.env = dict(os.environ, WINEPREFIX=self.prefix, DISPLAY=display.name,
                        WINEDEBUG=os.environ.get("WINEDEBUG", "-all"), WINEDLLOVERRIDES="mscoree,mshtml=",
                        UPDATE_WINE_PREFIX=self.prefix, UPDATE_WINE_DESKTOP="1024x768" if desktop else "off")
        self.stop()  # whatever an interrupted run left behind
        done = subprocess.run(["bash", "-c", '. "$0" && wine_env_prefix',
                               os.path.join(ROOT, "scripts", "wine-env")], env=self.env, capture_output=True)
        if done.returncode:
            raise HarnessError("could not prepare the Wine prefix: %s" % done.stderr.decode())

    def popen(self, args, **kw):
        self.log("$ wine64 " + " ".join(args))
        return subprocess.Popen([WINE64] + args, env=self.env, **kw)

    def stop(self):
        subprocess.run([WINESERVER, "-k"], env=self.env, capture_output=True)
        subprocess.run([WINESERVER, "-w"], env=self.env, timeout=60)


class Driver(Stops):
    """uidriver.exe --serve: driver("verb", args...) sends one command and
    returns its JSON answer; a refused command raises HarnessError."""

    def __init__(self, wine, exe):
        self.log, self.pending = wine.log, b""
        self.proc = wine.popen([exe, "--serve"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self("windows", CAPTION, timeout=120)  # the first program of a session starts Wine

    def __call__(self, *fields, timeout=30):
        line = "\t".join(str(f) for f in fields)
        self.log("> " + line.replace("\t", " | "))
        self.proc.stdin.write(line.encode() + b"\n")
        self.proc.stdin.flush()
        deadline = time.monotonic() + timeout
        while b"\n" not in self.pending:
            ready = select.select([self.proc.stdout], [], [], max(0, deadline - time.monotonic()))[0]
            chunk = os.read(self.proc.stdout.fileno(), 65536) if ready else b""
            if not chunk:
                raise HarnessError("the UI driver gave no answer to " + line)
            self.pending += chunk
        text, self.pending = self.pending.split(b"\n", 1)
        self.log("< " + text.decode())
        answer = json.loads(text)
        if not answer["ok"]:
            raise HarnessError("driver: %s: %s" % (line, answer["error"]))
        return answer

    def windows(self, caption=CAPTION, kind=None):
        return [w["hwnd"] for w in self("windows", caption)["windows"] if kind in (None, w["kind"])]

    def wait_window(self, kind, caption=CAPTION, exclude=(), seconds=60):
        return until(lambda: [w for w in self.windows(caption, kind) if w not in exclude],
                     seconds, "a %s %r appears" % (kind, caption))[0]

    def controls(self, window):
        return {c["id"]: c for c in self("controls", window)["controls"]}

    def screenshot(self, path, window="screen"):
        """A PNG of the screen or a window as Wine has drawn it."""
        self("screenshot", window, "Z:" + os.path.abspath(path + ".bmp").replace("/", "\\"))  # Z: is /
        subprocess.run(["convert", path + ".bmp", path], check=True)
        os.remove(path + ".bmp")
        return path

    def stop(self):
        self.proc.stdin.close()
        self.proc.wait(10)


@dataclasses.dataclass
class Reply:
    """How the server answers one path: `status` with `body` (@SERVER@ in it
    becomes the server's host:port) after `delay` seconds, `chunk` bytes every
    `pause` seconds when chunk is set (a slow or trickling transfer). cut: the
    headers promise the whole body, half comes, the connection closes. drop: it
    closes without an answer. hang: it is accepted and never answered."""
    body: bytes = b""
    status: int = 200
    ctype: str = "text/xml; charset=utf-8"
    delay: float = 0.0
    chunk: int = 0
    pause: float = 0.0
    cut: bool = False
    drop: bool = False
    hang: bool = False


NOT_FOUND = Reply(b"<html><head><title>404 Not Found</title></head><body><h1>Not Found</h1>"
                  b"</body></html>\n", status=404, ctype="text/html")


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"  # one request a connection

    def log_message(self, fmt, *args):
        self.server.owner.log("http: " + fmt % args)

    def do_GET(self):
        owner = self.server.owner
        owner.requests.append(self.path)
        reply = owner.routes.get(urllib.parse.urlsplit(self.path).path, NOT_FOUND)
        if reply.hang:
            owner.closing.wait()
        time.sleep(reply.delay)
        if reply.drop or reply.hang:
            return
        body = reply.body.replace(b"@SERVER@", b"127.0.0.1:%d" % owner.port)
        self.send_response(reply.status)
        self.send_header("Content-Type", reply.ctype)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        body = body[:len(body) // 2] if reply.cut else body
        step = reply.chunk or len(body) or 1
        try:
            for at in range(0, len(body), step):
                self.wfile.write(body[at:at + step])
                self.wfile.flush()
                time.sleep(reply.pause)
        except OSError:
            pass  # the client gave up (a cancelled download)


class Server(Stops):
    """The loopback update server: routes maps a path to its Reply (others get
    NOT_FOUND); requests lists every request's target, in order."""

    def __init__(self, port, log):
        self.port, self.log, self.routes, self.requests, self.httpd = port, log, {}, [], None

    def start(self):
        try:
            self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", self.port), _Handler)
        except OSError as e:
            raise HarnessError("cannot listen on 127.0.0.1:%d (compiled into Update.exe): %s" % (self.port, e))
        self.httpd.owner, self.httpd.daemon_threads, self.closing = self, True, threading.Event()
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()
        return self

    def stop(self):
        if self.httpd:
            self.closing.set()
            self.httpd.shutdown()
            self.httpd.server_close()
            self.httpd = None


def manifest(*records):
    """An update manifest (UTF-8) with one Update element per record: a dict
    of its fields, in the order given."""
    def esc(text):
        return str(text).replace("&", "&amp;").replace("<", "&lt;")
    items = ["<Update>%s</Update>" % "".join("<%s>%s</%s>" % (k, esc(v), k) for k, v in r.items())
             for r in records]
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<QeldaUpdates>\n%s\n</QeldaUpdates>\n'
            % "\n".join(items)).encode()


def make_zip(entries, method=zipfile.ZIP_DEFLATED):
    """A package: ZIP bytes with the entries (name -> bytes) in order."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", method) as z:
        for name, data in entries.items():
            z.writestr(zipfile.ZipInfo(name, (2026, 1, 2, 3, 4, 6)), data, method)
    return buf.getvalue()


class Installation:
    """Qelda installed in the prefix under INSTALL_WIN, seen from Linux:
    Update.exe, Qelda.exe (a copy of the driver, which idles when started
    without --serve: the stand-in product) and data files."""

    def __init__(self, wine, update_exe, driver_exe):
        self.dir = os.path.join(wine.prefix, "drive_c", "Program Files", "Brenvik", "Qelda")
        self.system_dir = os.path.join(wine.prefix, "drive_c", "windows", "system32")
        with open(update_exe, "rb") as u, open(driver_exe, "rb") as d:
            self.programs = {"Update.exe": u.read(), "Qelda.exe": d.read()}

    def lay_out(self, files):
        """The folder afresh with the programs and these files (name -> bytes)."""
        shutil.rmtree(self.dir, ignore_errors=True)
        for name, data in dict(self.programs, **files).items():
            os.makedirs(os.path.dirname(os.path.join(self.dir, name)), exist_ok=True)
            with open(os.path.join(self.dir, name), "wb") as f:
                f.write(data)

    def files(self):
        """Every file below the folder: relative path ('/'-separated) -> bytes."""
        out = {}
        for folder, _, names in os.walk(self.dir):
            for n in names:
                with open(os.path.join(folder, n), "rb") as f:
                    out[os.path.relpath(f.name, self.dir)] = f.read()
        return out

    def win(self, name):
        return INSTALL_WIN + "\\" + name.replace("/", "\\")
