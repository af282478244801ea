"""Pieces shared by the end-to-end scenarios and the demo.

- Display: a private Xvfb (or the user's display when asked and working).
- WineSession: a Wine prefix of our own with the CJK font link (prepared by
  scripts/wine-env) and optionally a Wine virtual desktop, so that screenshots
  show captions and frames; it starts Windows programs and, on stop, ends every
  Windows process of the prefix (wineserver -k).
- Driver: one long-lived `uidriver.exe --serve` in that session. Keeping one
  Windows process alive for the whole run keeps Wine's services warm, so each
  further program start costs about a second instead of several.
- UpdateServer: a loopback HTTP server that answers each path the way a test
  asks (manifest, error page, slow, cut short, dropped) and logs every request.

Standard library only.
"""

import errno
import http.server
import json
import os
import select
import shutil
import signal
import socket
import subprocess
import threading
import time
import urllib.parse

WINE64 = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
WINE_ENV = os.path.join(ROOT, "scripts", "wine-env")

APP_CAPTION = "Qelda升级程序"


class HarnessError(Exception):
    pass


def log_line(stream, text):
    if stream is not None:
        stream.write(text + "\n")
        stream.flush()


def windows_path(path):
    """The Wine path of a Linux file (drive Z: is the Linux root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


# ---------------------------------------------------------------------------
# X display


def _die_with_parent():
    """In a child before exec: end it with SIGTERM when its parent dies, so that a
    run killed outright (SIGKILL on a ctest time-out) leaves no X server behind."""
    try:
        import ctypes
        PR_SET_PDEATHSIG = 1
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)
    except (OSError, AttributeError):
        pass


def display_works(display):
    if not display or not shutil.which("xdpyinfo"):
        return False
    env = dict(os.environ, DISPLAY=display)
    return subprocess.run(["xdpyinfo"], env=env, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0


class Display:
    """A private Xvfb, or a given display that already works."""

    def __init__(self, use_existing=None, size="1024x768"):
        self.name = None
        self.proc = None
        self.size = size
        self.use_existing = use_existing

    @property
    def private(self):
        return self.proc is not None

    def start(self):
        if self.use_existing and display_works(self.use_existing):
            self.name = self.use_existing
            return self
        if not shutil.which("Xvfb"):
            raise HarnessError("Xvfb is not installed (run scripts/setup)")
        read_fd, write_fd = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", self.size + "x24",
             "-nolisten", "tcp"],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=_die_with_parent)
        os.close(write_fd)
        number = b""
        deadline = time.monotonic() + 30
        while not number.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([read_fd], [], [], left)[0]:
                break
            chunk = os.read(read_fd, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_fd)
        if not number.strip():
            self.stop()
            raise HarnessError("Xvfb did not start")
        self.name = ":" + number.decode().strip()
        return self

    def screenshot(self, path):
        """The whole screen as PNG (xwd + ImageMagick's convert); True on success."""
        xwd = subprocess.Popen(["xwd", "-root", "-silent", "-display", self.name],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        conv = subprocess.run(["convert", "xwd:-", path], stdin=xwd.stdout,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        xwd.stdout.close()
        xwd.wait()
        return conv.returncode == 0 and xwd.returncode == 0 and os.path.exists(path)

    def stop(self):
        if self.proc is not None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
            self.proc = None


# ---------------------------------------------------------------------------
# Wine


class WineSession:
    """Windows programs in one prefix on one display."""

    def __init__(self, prefix, display, log=None, virtual_desktop=True):
        self.prefix = os.path.abspath(prefix)
        self.display = display
        self.log = log
        self.virtual_desktop = virtual_desktop
        self.env = dict(os.environ)
        self.env.update({
            "WINEPREFIX": self.prefix,
            "DISPLAY": display.name,
            "WINEDEBUG": os.environ.get("WINEDEBUG", "-all"),
            "WINEDLLOVERRIDES": "mscoree,mshtml=",
        })
        self.env.pop("WAYLAND_DISPLAY", None)

    def prepare(self):
        """Creates the prefix once (CJK font link, through scripts/wine-env) and
        switches the virtual desktop on or off."""
        env = dict(self.env, UPDATE_WINE_PREFIX=self.prefix)
        rc = subprocess.run(["bash", "-c", '. "$1" && wine_env_prefix', "wine-env", WINE_ENV],
                            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if rc.returncode != 0 or not os.path.exists(os.path.join(self.prefix, ".update-ready")):
            raise HarnessError("could not prepare the Wine prefix %s: %s"
                               % (self.prefix, rc.stderr.decode(errors="replace")))
        marker = os.path.join(self.prefix, ".e2e-desktop")
        wanted = self.display.size if self.virtual_desktop else "off"
        current = open(marker).read() if os.path.exists(marker) else None
        if current != wanted:
            # Read by Wine's explorer when it creates the desktop, so this must be
            # in place before the first window of the session.
            if self.virtual_desktop:
                self.run_quiet(["reg", "add", r"HKCU\Software\Wine\Explorer", "/v", "Desktop",
                                "/d", "Default", "/f"])
                self.run_quiet(["reg", "add", r"HKCU\Software\Wine\Explorer\Desktops", "/v",
                                "Default", "/d", self.display.size, "/f"])
            else:
                self.run_quiet(["reg", "delete", r"HKCU\Software\Wine\Explorer", "/v", "Desktop",
                                "/f"], check=False)
            subprocess.run([WINESERVER, "-w"], env=self.env)
            with open(marker, "w") as f:
                f.write(wanted)

    def run_quiet(self, args, check=True):
        rc = subprocess.run([WINE64] + args, env=self.env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, timeout=120)
        if check and rc.returncode != 0:
            raise HarnessError("wine64 %s failed (%d)" % (" ".join(args), rc.returncode))

    def popen(self, args, **kw):
        kw.setdefault("stdout", subprocess.DEVNULL)
        kw.setdefault("stderr", subprocess.DEVNULL)
        log_line(self.log, "$ wine64 " + " ".join(repr(a) for a in args))
        return subprocess.Popen([WINE64] + list(args), env=self.env, **kw)

    def kill_all(self):
        """Ends every Windows process of the prefix, and the wineserver."""
        subprocess.run([WINESERVER, "-k"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        try:
            subprocess.run([WINESERVER, "-w"], env=self.env, timeout=30)
        except subprocess.TimeoutExpired:
            pass


# ---------------------------------------------------------------------------
# UI driver


class DriverError(HarnessError):
    def __init__(self, answer):
        HarnessError.__init__(self, "driver: %s -> %s" % (answer.get("cmd"), answer.get("error")))
        self.answer = answer


class Driver:
    """uidriver.exe --serve: one command a line, one JSON answer a line."""

    MARGIN = 30.0  # seconds allowed beyond a command's own timeout

    def __init__(self, session, exe, log=None):
        self.session = session
        self.exe = exe
        self.log = log
        self.proc = None
        self.pending = b""

    def start(self):
        self.proc = self.session.popen([self.exe, "--serve"], stdin=subprocess.PIPE,
                                       stdout=subprocess.PIPE)
        # The first Windows process of a session brings up Wine's services and
        # the desktop: allow for a slow start.
        self.call("ping", timeout=120)
        return self

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def call(self, *fields, timeout=None, check=True):
        """Runs one command; returns its answer (a dict). With check, a failed
        command raises DriverError. timeout: seconds to wait for the answer."""
        if not self.alive():
            raise HarnessError("the UI driver is not running")
        text = "\t".join(str(f) for f in fields)
        if "\n" in text:
            raise HarnessError("a driver argument cannot hold a line break")
        log_line(self.log, "> " + text.replace("\t", " | "))
        self.proc.stdin.write((text + "\n").encode("utf-8"))
        self.proc.stdin.flush()
        deadline = time.monotonic() + (timeout if timeout is not None else self.MARGIN)
        fd = self.proc.stdout.fileno()
        while True:
            nl = self.pending.find(b"\n")
            if nl >= 0:
                line = self.pending[:nl].decode("utf-8", errors="replace").strip()
                self.pending = self.pending[nl + 1:]
                if not line.startswith("{"):
                    log_line(self.log, "? " + line)
                    continue
                log_line(self.log, "< " + line)
                answer = json.loads(line)
                if check and not answer.get("ok"):
                    raise DriverError(answer)
                return answer
            left = deadline - time.monotonic()
            if left <= 0:
                self.stop()
                raise HarnessError("the UI driver did not answer %r in time" % text)
            if select.select([fd], [], [], left)[0]:
                chunk = os.read(fd, 65536)
                if not chunk:
                    raise HarnessError("the UI driver ended unexpectedly")
                self.pending += chunk

    # Commands whose own timeout is in milliseconds get a matching read timeout.
    def wait_window(self, caption, seconds, kind="any", exclude=(), check=True):
        return self.call("wait_window", caption, int(seconds * 1000), kind, *exclude,
                         timeout=seconds + self.MARGIN, check=check)

    def wait_gone(self, window, seconds, check=True):
        return self.call("wait_gone", window, int(seconds * 1000),
                         timeout=seconds + self.MARGIN, check=check)

    def wait_exit(self, pid, seconds, check=True):
        return self.call("wait_exit", pid, int(seconds * 1000),
                         timeout=seconds + self.MARGIN, check=check)

    def controls(self, window):
        """Controls of a window, by id (of several with one id, the last in tab order)."""
        answer = self.call("controls", window)
        return {c["id"]: c for c in answer["controls"]}

    def windows(self, caption=""):
        return self.call("windows", caption)["windows"]

    def processes(self, exe=None):
        args = ("processes", exe) if exe else ("processes",)
        return self.call(*args)["processes"]

    def screenshot(self, path, window=None):
        """A PNG of the screen (or one window) as Wine itself has drawn it.
        Wine does not always copy what it drew into the X server at once (an
        owned popup such as an About box can stay black in xwd), so this reads
        Wine's screen through the driver; True on success."""
        bmp = path + ".bmp"
        self.settle(window)
        answer = self.call("screenshot", window or "screen", windows_path(bmp), check=False)
        ok = answer.get("ok") and subprocess.run(
            ["convert", bmp, path], stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL).returncode == 0
        if os.path.exists(bmp):
            os.remove(bmp)
        return bool(ok)

    def settle(self, window=None):
        """Lets the windows finish painting before a screenshot."""
        args = ("settle", window) if window else ("settle",)
        self.call(*args, check=False)
        time.sleep(0.2)

    def stop(self):
        if self.proc is None:
            return
        try:
            if self.proc.poll() is None:
                self.proc.stdin.write(b"quit\n")
                self.proc.stdin.flush()
                self.proc.wait(5)
        except (OSError, subprocess.TimeoutExpired):
            pass
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.proc = None


def hwnd(window):
    """The selector of a window dict returned by the driver."""
    return "hwnd:" + window["hwnd"]


# ---------------------------------------------------------------------------
# Loopback update server


class Reply:
    """How the server answers one path."""

    def __init__(self, status=200, body=b"", content_type="text/xml; charset=utf-8", delay=0.0,
                 declared_length=None, drop=False, chunk=0, pause=0.0):
        """chunk, pause: send the body `chunk` bytes at a time with `pause`
        seconds after each piece (a slow transfer)."""
        self.chunk = chunk
        self.pause = pause
        self.status = status
        self.body = body if isinstance(body, bytes) else body.encode("utf-8")
        self.content_type = content_type
        self.delay = delay
        self.declared_length = declared_length
        self.drop = drop

    @staticmethod
    def manifest(xml, delay=0.0):
        return Reply(body=xml, delay=delay)

    @staticmethod
    def package(data, chunk=0, pause=0.0):
        """An update package (ZIP bytes), optionally sent slowly."""
        return Reply(body=data, content_type="application/zip", chunk=chunk, pause=pause)

    @staticmethod
    def not_found():
        return Reply(status=404, content_type="text/html; charset=utf-8", body=NOT_FOUND_PAGE)

    @staticmethod
    def cut_short(xml):
        """Headers promise the whole body; half of it comes, then the connection closes."""
        data = xml if isinstance(xml, bytes) else xml.encode("utf-8")
        return Reply(body=data[:len(data) // 2], declared_length=len(data))

    @staticmethod
    def dropped():
        """The connection is closed without any answer."""
        return Reply(drop=True)


NOT_FOUND_PAGE = ("<!DOCTYPE html>\n<html><head><title>404 Not Found</title></head>\n"
                  "<body><h1>Not Found</h1><p>The requested URL was not found on this server."
                  "</p></body></html>\n")


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"
    server_version = "QeldaTestServer/1.0"

    def log_message(self, fmt, *args):
        log_line(self.server.owner.log, "http: " + (fmt % args))

    def _answer(self, with_body):
        owner = self.server.owner
        url = urllib.parse.urlsplit(self.path)
        entry = {"method": self.command, "path": url.path, "query": url.query,
                 "raw": self.path, "time": time.time(),
                 "headers": {k.lower(): v for k, v in self.headers.items()}}
        with owner.lock:
            owner.requests.append(entry)
            reply = owner.routes.get(url.path)
        if reply is None:
            reply = Reply.not_found()
        if reply.delay:
            time.sleep(reply.delay)
        if reply.drop:
            self.close_connection = True
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            return
        self.send_response(reply.status)
        self.send_header("Content-Type", reply.content_type)
        length = reply.declared_length if reply.declared_length is not None else len(reply.body)
        self.send_header("Content-Length", str(length))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        if with_body and reply.chunk > 0:
            try:
                for at in range(0, len(reply.body), reply.chunk):
                    self.wfile.write(reply.body[at:at + reply.chunk])
                    self.wfile.flush()
                    time.sleep(reply.pause)
            except OSError:
                # The client gave up (a cancelled download).
                self.close_connection = True
                return
        elif with_body:
            self.wfile.write(reply.body)
        if reply.declared_length is not None:
            self.wfile.flush()
            self.close_connection = True
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def do_GET(self):
        self._answer(True)

    def do_HEAD(self):
        self._answer(False)


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True


class PortBusy(HarnessError):
    pass


class UpdateServer:
    def __init__(self, port, host="127.0.0.1", log=None):
        self.host = host
        self.port = port
        self.log = log
        self.lock = threading.Lock()
        self.routes = {}
        self.requests = []
        self.httpd = None
        self.thread = None

    def start(self):
        try:
            self.httpd = _Server((self.host, self.port), _Handler)
        except OSError as e:
            if e.errno == errno.EADDRINUSE:
                raise PortBusy("port %d on %s is taken by another program; the update server "
                               "of the tests must listen there (it is the port compiled into "
                               "Update.exe)" % (self.port, self.host))
            raise
        self.httpd.owner = self
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()
        return self

    def stop(self):
        if self.httpd is not None:
            self.httpd.shutdown()
            self.httpd.server_close()
            self.thread.join(10)
            self.httpd = None

    @property
    def running(self):
        return self.httpd is not None

    def set(self, path, reply):
        with self.lock:
            self.routes[path] = reply

    def reset(self):
        with self.lock:
            self.routes = {}
            self.requests = []

    def clear_log(self):
        with self.lock:
            self.requests = []

    def log_of(self, path=None):
        with self.lock:
            return [r for r in self.requests if path is None or r["path"] == path]

    def nothing_listens(self):
        """True when a connection to the port is refused."""
        s = socket.socket()
        s.settimeout(2)
        try:
            s.connect((self.host, self.port))
            return False
        except OSError:
            return True
        finally:
            s.close()


# ---------------------------------------------------------------------------
# Manifests


def _xml_text(text):
    return (text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;"))


FIELDS = ("OldVer", "NewVer", "NetUrl", "LocalPath", "UpdateInfo", "InfoUrl", "IsUpdate")


def manifest(*records, root="QeldaUpdates"):
    """An update manifest (UTF-8 bytes) with one Update element per record;
    a record is a dict of the field elements it has."""
    out = ['<?xml version="1.0" encoding="UTF-8"?>', "<%s>" % root]
    for rec in records:
        out.append("  <Update>")
        for name in FIELDS:
            if name in rec:
                out.append("    <%s>%s</%s>" % (name, _xml_text(str(rec[name])), name))
        out.append("  </Update>")
    out.append("</%s>" % root)
    return ("\n".join(out) + "\n").encode("utf-8")


def parse_manifest_url(url):
    """(host, port, path) of a loopback http URL, or None for any other URL."""
    u = urllib.parse.urlsplit(url)
    if u.scheme != "http" or u.hostname not in ("127.0.0.1", "localhost"):
        return None
    return "127.0.0.1", u.port or 80, u.path
