"""What the end-to-end scenarios and the demo share: an X display, a Wine prefix, the UI driver, a
loopback update server that answers each path as asked, Qelda installed. Standard library only."""

import contextlib
import ctypes
import http.server
import io
import json
import os
import pathlib
import random
import select
import shutil
import signal
import subprocess
import threading
import time
import types
import urllib.parse
import zipfile
from xml.sax.saxutils import escape

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
WINE64, WINESERVER = "/usr/lib/wine/wine64", "/usr/lib/wine/wineserver"
CAPTION = "Qelda升级程序"
REG_KEY = r"SOFTWARE\Brenvik\Qelda"  # under HKLM
INSTALL_WIN = r"C:\Program Files\Brenvik\Qelda"


def windows_path(path):  # Wine's drive Z: is the Linux root
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Stops(contextlib.AbstractContextManager):
    def __exit__(self, *exc):  # a part of the run that a `with` (or an ExitStack) stops
        self.stop()


def until(probe, seconds, what):  # probe()'s first true answer within `seconds`, else a failure: `what`
    deadline = time.monotonic() + seconds
    while not (got := probe()):
        assert time.monotonic() < deadline, "%s (waited %.0f s)" % (what, seconds)
        time.sleep(0.05)
    return got


class Display(Stops):
    """A private Xvfb of 1024 x 768."""

    def __init__(self):
        for number in random.sample(range(500, 900), 5):  # away from the numbers others take
            self.name = ":%d" % number
            if os.path.exists("/tmp/.X%d-lock" % number):
                continue
            # prctl(PR_SET_PDEATHSIG): it ends with the run, even a run killed on a time-out
            self.proc = subprocess.Popen(["Xvfb", self.name, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                         stderr=subprocess.DEVNULL,
                                         preexec_fn=lambda: ctypes.CDLL(None).prctl(1, signal.SIGTERM))
            deadline = time.monotonic() + 15
            while self.proc.poll() is None and time.monotonic() < deadline:
                if self.answers():  # a Wine session that comes earlier never gets its desktop
                    return
                time.sleep(0.1)
            self.stop()
        raise RuntimeError("Xvfb did not start")

    def answers(self):
        return subprocess.run(["xdpyinfo", "-display", self.name], capture_output=True).returncode == 0

    def stop(self):
        if self.proc:
            self.proc.terminate()
            self.proc.wait()


class Wine(Stops):
    """A prefix of scripts/wine-env's (with the CJK font link) on a display, inside Wine's virtual
    desktop unless `desktop` is false. stop() ends every Windows process of the prefix."""

    def __init__(self, prefix, display, log, desktop=True):
        self.prefix, self.log = os.path.abspath(prefix), log  # the driver's transcript goes to log
        self.env = dict(os.environ, WINEPREFIX=self.prefix, DISPLAY=display.name,
                        WINEDEBUG=os.environ.get("WINEDEBUG", "-all"), WINEDLLOVERRIDES="mscoree,mshtml=",
                        UPDATE_WINE_PREFIX=self.prefix, UPDATE_WINE_DESKTOP="1024x768" if desktop else "off")
        self.stop()  # whatever an interrupted run left behind
        done = subprocess.run(["bash", "-c", '. "$0" && wine_env_prefix',
                               os.path.join(ROOT, "scripts", "wine-env")], env=self.env, capture_output=True)
        if done.returncode:
            raise RuntimeError("could not prepare the Wine prefix: %s" % done.stderr.decode())

    def stop(self):
        subprocess.run([WINESERVER, "-k"], env=self.env, capture_output=True)
        subprocess.run([WINESERVER, "-w"], env=self.env, timeout=60)


class Driver(Stops):
    """uidriver.exe --serve: driver("verb", args...) returns the JSON answer; a refusal raises RuntimeError."""

    def __init__(self, wine, exe):
        self.log, self.pending, self.exe = wine.log, b"", windows_path(exe)
        self.proc = subprocess.Popen([WINE64, exe, "--serve"], env=wine.env, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE)
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
                raise RuntimeError("the UI driver gave no answer to " + line)
            self.pending += chunk
        text, self.pending = self.pending.split(b"\n", 1)
        self.log("< " + text.decode())
        answer = json.loads(text)
        if not answer["ok"]:
            raise RuntimeError("driver: %s: %s" % (line, answer["error"]))
        return answer

    def windows(self, caption=CAPTION, kind=None):
        return [w["hwnd"] for w in self("windows", caption)["windows"] if kind in (None, w["kind"])]

    def wait_window(self, kind, caption=CAPTION, exclude=(), seconds=60):
        return until(lambda: [w for w in self.windows(caption, kind) if w not in exclude],
                     seconds, "a %s %r appears" % (kind, caption))[0]

    def screenshot(self, path, window="screen"):
        """A PNG of the screen or a window as Wine has drawn it."""
        self("screenshot", window, windows_path(path + ".bmp"))
        subprocess.run(["convert", path + ".bmp", path], check=True)
        os.remove(path + ".bmp")
        return path

    def stop(self):
        self.proc.stdin.close()
        self.proc.wait(10)


def Reply(body=b"", status=200, ctype="text/xml; charset=utf-8", delay=0.0, chunk=0, pause=0.0, cut=False,
          drop=False, hang=False, length=True, chunked=False, endless=False, headers=(), header_trickle=0.0):
    """How the server answers one path: `status` with `body` (@SERVER@ in it becomes the server's
    host:port) after `delay` seconds, `chunk` bytes every `pause` seconds if chunk is set (a slow or
    trickling transfer). cut: the headers promise the whole body, half comes, the connection closes.
    drop: it closes without an answer. hang: it is accepted and never answered. length: the headers
    say how long the body is (else the end of the connection ends it); chunked: HTTP/1.1 chunks;
    endless: after the body, more bytes for as long as the client reads. headers: more (name, value)
    pairs (a Location, say). header_trickle: the status line and headers one byte every so many
    seconds."""
    return types.SimpleNamespace(**locals())


NOT_FOUND = Reply(b"<html><body><h1>404 Not Found</h1></body></html>\n", status=404, ctype="text/html")


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
        if reply.header_trickle:
            try:
                for byte in b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body):
                    if owner.closing.is_set():
                        return
                    self.wfile.write(bytes([byte]))
                    self.wfile.flush()
                    time.sleep(reply.header_trickle)
            except OSError:
                pass
            return
        if reply.chunked:
            self.protocol_version = "HTTP/1.1"
        self.send_response(reply.status)
        self.send_header("Content-Type", reply.ctype)
        for name, value in reply.headers:
            self.send_header(name, value.replace("@SERVER@", "127.0.0.1:%d" % owner.port))
        if reply.chunked:
            self.send_header("Transfer-Encoding", "chunked")
            self.send_header("Connection", "close")
        elif reply.length:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        body = body[:len(body) // 2] if reply.cut else body
        step = reply.chunk or len(body) or 1
        frame = (lambda b: b"%x\r\n%s\r\n" % (len(b), b)) if reply.chunked else (lambda b: b)
        try:
            for at in range(0, len(body), step):
                self.wfile.write(frame(body[at:at + step]))
                self.wfile.flush()
                time.sleep(reply.pause)
            while reply.endless and not owner.closing.is_set():
                self.wfile.write(frame(b"<!-- more -->" * 5000))
            if reply.chunked:
                self.wfile.write(b"0\r\n\r\n")
        except OSError:
            pass  # the client gave up (a cancelled download)


class Server(Stops):
    """routes: a path -> its Reply (others get NOT_FOUND); requests: every request's target, in order."""

    def __init__(self, port, log):
        self.port, self.log, self.routes, self.requests, self.httpd = port, log, {}, [], None

    def start(self):
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", self.port), _Handler)  # OSError: port taken
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
    """An update manifest (UTF-8) with an Update element per record, a dict of its fields in order."""
    items = ["<Update>%s</Update>" % "".join("<%s>%s</%s>" % (k, escape(v), k) for k, v in r.items())
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
        with open(update_exe, "rb") as u, open(driver_exe, "rb") as d:
            self.programs = {"Update.exe": u.read(), "Qelda.exe": d.read()}

    def lay_out(self, files):
        """The folder afresh with the programs and these files (name -> bytes)."""
        shutil.rmtree(self.dir, ignore_errors=True)
        for name, data in dict(self.programs, **files).items():
            os.makedirs(os.path.dirname(os.path.join(self.dir, name)), exist_ok=True)
            pathlib.Path(self.dir, name).write_bytes(data)

    def files(self):
        """Every file below the folder: relative path ('/'-separated) -> bytes."""
        return {str(p.relative_to(self.dir)): p.read_bytes() for p in pathlib.Path(self.dir).rglob("*") if p.is_file()}

    def win(self, name):
        return INSTALL_WIN + "\\" + name.replace("/", "\\")
