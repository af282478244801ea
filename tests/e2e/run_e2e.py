#!/usr/bin/env python3
"""End-to-end scenarios: the real Update.exe under Wine, against a loopback
update server, driven and inspected from outside by uidriver.exe.

    run_e2e.py --build-dir B --update B/Update.exe --driver B/tests/e2e/uidriver.exe \
               --url http://127.0.0.1:PORT/client/updateqelda.xml [--only REGEX] [--list]

The URL must be the one compiled into Update.exe; the update server listens on
its port. Exit status: 0 all passed, 1 a scenario failed, 2 the harness could
not run, 77 Update.exe was built for a manifest URL that is not on loopback.

Every scenario checks that each Update.exe it starts ends by itself within a
time limit; a process left behind is killed and the scenario fails. Screenshots
go to B/e2e-shots, one log per scenario (driver transcript, HTTP log) to
B/e2e-logs. At the end every Windows process of the prefix is ended.
"""

import argparse
import os
import re
import shutil
import signal
import sys
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import APP_CAPTION, Reply, hwnd, manifest  # noqa: E402

REG_KEY = r"HKLM\SOFTWARE\Brenvik\Qelda"
REG_VALUE = "version"

WINDOW_TIMEOUT = 60.0  # Wine start on a loaded machine takes several seconds
EXIT_TIMEOUT = 60.0
SAMPLE_MANIFEST = os.path.join(harness.ROOT, "tests", "data", "e2e", "updateqelda.xml")

VERSION_LINE = "当前程序版本："
RELAUNCH_TEXT = "升级完成后运行Qelda"
MSG_NO_KEY = "获取HKEY失败"
MSG_NO_VALUE = "获取注册表信息失败"

IDOK = 1
IDC_VERSION = 1001
IDC_NOTES = 1002
IDC_UPGRADE = 1003
IDC_EXIT = 1004
IDC_LINK = 1006
IDC_RELAUNCH = 1007
SC_CLOSE = 0xF060
IDM_ABOUTBOX = 0x0010
VK_ESCAPE = 0x1B
BS_DEFPUSHBUTTON = 0x01
ABOUT_CAPTION = "关于 Update"


class Failed(Exception):
    pass


def norm_lines(text):
    return text.replace("\r\n", "\n")


# ---------------------------------------------------------------------------
# One run of Update.exe


class UpdateRun:
    """One Update.exe process, started by wine64 from here (popen) or by the
    driver with an exact command line (pid)."""

    def __init__(self, ctx, label, popen=None, pid=None):
        self.ctx = ctx
        self.label = label
        self.popen = popen
        self.pid = pid
        self.code = None

    def poll(self):
        if self.code is not None:
            return self.code
        if self.popen is not None:
            self.code = self.popen.poll()
        else:
            answer = self.ctx.driver.call("wait_exit", self.pid, 0, check=False)
            if answer.get("ok"):
                self.code = answer["code"]
        return self.code

    def kill(self):
        if self.popen is not None:
            if self.popen.poll() is None:
                self.popen.kill()
                self.popen.wait()
        elif self.poll() is None:
            self.ctx.driver.call("kill", self.pid, check=False)


# ---------------------------------------------------------------------------
# What a scenario can do


class Ctx:
    def __init__(self, run, name):
        self.run = run
        self.name = name
        self.driver = run.driver
        self.server = run.server
        self.display = run.display
        self.runs = []
        self.shot_no = 0

    # -- checks ---------------------------------------------------------------

    def fail(self, message):
        self.shot("failure")
        raise Failed(message)

    def eq(self, actual, expected, what):
        if actual != expected:
            self.fail("%s: expected %r, got %r" % (what, expected, actual))

    def true(self, cond, what):
        if not cond:
            self.fail(what)

    # -- registry -------------------------------------------------------------

    def set_version(self, version):
        self.driver.call("reg_set", REG_KEY, REG_VALUE, version)

    def delete_value(self):
        self.driver.call("reg_set", REG_KEY, "other", "kept")
        self.driver.call("reg_delete_value", REG_KEY, REG_VALUE)

    def delete_key(self):
        self.driver.call("reg_delete_key", REG_KEY)

    def registry(self):
        """The installed-version value as the driver reads it: (key exists,
        value exists, raw bytes as hex)."""
        a = self.driver.call("reg_get", REG_KEY, REG_VALUE)
        return a["key"], a["exists"], a.get("bytes")

    # -- server ---------------------------------------------------------------

    def serve(self, reply):
        self.server.set(self.run.manifest_path, reply)

    def sample_manifest(self):
        with open(SAMPLE_MANIFEST, encoding="utf-8") as f:
            text = f.read()
        return text.replace("@SERVER@", "127.0.0.1:%d" % self.server.port).encode("utf-8")

    def serve_package(self, reply):
        self.server.set(PACKAGE_PATH, reply)

    def manifest_requests(self):
        return self.server.log_of(self.run.manifest_path)

    def expect_one_manifest_get(self):
        reqs = self.manifest_requests()
        self.eq(len(reqs), 1, "manifest requests")
        r = reqs[0]
        self.eq(r["method"], "GET", "request method")
        self.true(re.fullmatch(r"0|[1-9][0-9]{0,2}", r["query"]) is not None,
                  "request query is a number 0-999: %r" % r["raw"])
        self.true(r["raw"] == "%s?%s" % (self.run.manifest_path, r["query"]),
                  "request is the manifest path + '?' + number: %r" % r["raw"])

    def expect_no_request(self):
        self.eq([r["raw"] for r in self.server.log_of()], [], "HTTP requests")

    # -- processes ------------------------------------------------------------

    def start(self, *args, label=None):
        """wine64 Update.exe ARGS..., in the program's directory, as a user runs it."""
        popen = self.run.session.popen(
            [self.run.update_name] + list(args), cwd=self.run.app_dir,
            stdout=self.run.log, stderr=self.run.log)
        r = UpdateRun(self, label or "wine64 Update.exe %s" % " ".join(args), popen=popen)
        self.runs.append(r)
        return r

    def start_exact(self, tail=None, label=None):
        """Update.exe with this exact text after the program name (None: no text
        at all), started by the driver through CreateProcess."""
        args = ["start", self.run.update_win]
        if tail is not None:
            args.append(tail)
        answer = self.driver.call(*args)
        r = UpdateRun(self, label or "Update.exe with command line %r" % tail,
                      pid=answer["pid"])
        self.runs.append(r)
        return r

    def expect_exit(self, run, seconds=EXIT_TIMEOUT, silent=False):
        """Waits until the run ends by itself, with exit code 0 (every path of
        the program returns through the framework's normal exit; anything else
        is a crash). With silent, no window with the program's caption may show
        meanwhile."""
        deadline = time.monotonic() + seconds
        while True:
            code = run.poll()
            if code is not None:
                self.eq(code, 0, "exit code of " + run.label)
                return code
            if silent:
                shown = self.driver.windows(APP_CAPTION)
                if shown:
                    w = shown[0]
                    text = ""
                    if w["msgbox"]:
                        text = self.driver.call("msgbox", hwnd(w))["text"]
                    self.fail("%s: a window appeared: %s %r %s" % (
                        run.label, w["class"], w["caption"], text))
            if time.monotonic() > deadline:
                self.fail("%s did not end within %.0f s" % (run.label, seconds))
            time.sleep(0.2)

    def expect_silent_exit(self, run, seconds=EXIT_TIMEOUT):
        return self.expect_exit(run, seconds, silent=True)

    # -- windows --------------------------------------------------------------

    def wait_dialog(self, exclude=()):
        a = self.driver.wait_window(APP_CAPTION, WINDOW_TIMEOUT, "dialog", exclude, check=False)
        if not a["ok"]:
            self.fail("no update dialog appeared within %.0f s" % WINDOW_TIMEOUT)
        return a["window"]

    def wait_msgbox(self):
        a = self.driver.wait_window(APP_CAPTION, WINDOW_TIMEOUT, "msgbox", check=False)
        if not a["ok"]:
            self.fail("no message box appeared within %.0f s" % WINDOW_TIMEOUT)
        return self.driver.call("msgbox", hwnd(a["window"]))

    def wait_gone(self, window, what):
        a = self.driver.wait_gone(hwnd(window), WINDOW_TIMEOUT, check=False)
        if not a["ok"]:
            self.fail("%s did not close" % what)

    def shot(self, label, window=None):
        """A screenshot of the screen (or of one window) under e2e-shots: from
        Wine through the driver, else from the X server."""
        self.shot_no += 1
        name = "%s-%02d-%s.png" % (self.name, self.shot_no, label)
        path = os.path.join(self.run.shots_dir, name)
        if self.driver.alive() and self.driver.screenshot(path, window and hwnd(window)):
            return path
        if window is None and self.display.screenshot(path):
            return path
        harness.log_line(self.run.log, "screenshot failed: " + path)
        return None

    def cleanup(self):
        """Ends whatever this scenario left running; True when nothing was left."""
        clean = True
        for r in self.runs:
            if r.poll() is None:
                clean = False
                harness.log_line(self.run.log, "left running: " + r.label)
                r.kill()
        if not self.driver.alive():
            return clean
        left = self.driver.processes(self.run.update_name)
        if left:
            clean = False
            harness.log_line(self.run.log, "left running: %r" % left)
            self.driver.call("kill", self.run.update_name, check=False)
        deadline = time.monotonic() + 20
        while self.driver.processes(self.run.update_name) and time.monotonic() < deadline:
            time.sleep(0.2)
        return clean


# ---------------------------------------------------------------------------
# Shared steps


def check_offer_dialog(ctx, dlg, installed, notes):
    """The update dialog as it first shows: caption, version line, notes, the
    buttons, the link and the ticked relaunch box."""
    ctx.eq(dlg["caption"], APP_CAPTION, "dialog caption")
    c = ctx.driver.controls(hwnd(dlg))
    for cid in (IDC_VERSION, IDC_NOTES, IDC_UPGRADE, IDC_EXIT, IDC_LINK, IDC_RELAUNCH):
        ctx.true(cid in c, "dialog has control %d (has %s)" % (cid, sorted(c)))
    ctx.eq(c[IDC_VERSION]["text"], VERSION_LINE + installed, "installed-version line (1001)")
    ctx.eq(norm_lines(c[IDC_NOTES]["text"]), norm_lines(notes), "release notes (1002)")
    ctx.eq(c[IDC_UPGRADE]["text"], "升级", "Upgrade button (1003)")
    ctx.eq(c[IDC_EXIT]["text"], "退出", "Exit button (1004)")
    ctx.eq(c[IDC_LINK]["text"], "更新日志...", "update-log link (1006)")
    ctx.eq(c[IDC_RELAUNCH]["text"], RELAUNCH_TEXT, "relaunch check box (1007)")
    ctx.eq(c[IDC_RELAUNCH].get("check"), 1, "relaunch check box ticked")
    return c


def close_dialog(ctx, run, dlg, how):
    """Ends the offer with the Exit button, the close box or Escape, and checks
    that the program ends by itself and the installed version is untouched."""
    before = ctx.registry()
    if how == "exit":
        ctx.driver.call("click", hwnd(dlg), IDC_EXIT)
    elif how == "close":
        ctx.driver.call("syscommand", hwnd(dlg), SC_CLOSE)
    elif how == "escape":
        ctx.driver.call("key", hwnd(dlg), VK_ESCAPE)
    else:
        raise ValueError(how)
    ctx.wait_gone(dlg, "the update dialog")
    code = ctx.expect_exit(run)
    ctx.eq(ctx.registry(), before, "registry value after closing the dialog")
    ctx.true(not ctx.driver.windows(APP_CAPTION), "no window left after closing")
    return code


def offered_notes(ctx, old_ver):
    """Release notes of the sample manifest's record with this OldVer."""
    text = ctx.sample_manifest().decode("utf-8")
    for block in re.findall(r"<Update>(.*?)</Update>", text, re.S):
        if re.search(r"<OldVer>%s</OldVer>" % re.escape(old_ver), block):
            notes = re.search(r"<UpdateInfo>(.*?)</UpdateInfo>", block, re.S).group(1)
            cdata = re.fullmatch(r"<!\[CDATA\[(.*)\]\]>", notes, re.S)
            return cdata.group(1) if cdata else notes.replace("&amp;", "&")
    raise KeyError(old_ver)


# ---------------------------------------------------------------------------
# Scenarios

SCENARIOS = []


def scenario(fn):
    SCENARIOS.append((fn.__name__, fn))
    return fn


def one_record(old, new, notes="说明"):
    return manifest({"OldVer": old, "NewVer": new, "NetUrl": "http://127.0.0.1/x.zip",
                     "LocalPath": "", "UpdateInfo": notes, "InfoUrl": "http://127.0.0.1/log",
                     "IsUpdate": "1"})


@scenario
def no_update_same_version(ctx):
    ctx.set_version("2.0")
    ctx.serve(Reply.manifest(one_record("2.0", "2.0")))
    ctx.expect_silent_exit(ctx.start("Qelda.exe"))
    ctx.expect_one_manifest_get()
    ctx.shot("after")


@scenario
def no_update_text_order(ctx):
    # 1.9 sorts after 1.10 as text: nothing newer is offered.
    ctx.set_version("1.9")
    ctx.serve(Reply.manifest(one_record("1.9", "1.10")))
    ctx.expect_silent_exit(ctx.start("Qelda.exe"))
    ctx.expect_one_manifest_get()
    ctx.shot("after")


def offer_and_close(ctx, how, window_shot=False):
    ctx.set_version("1.0")
    ctx.serve(Reply.manifest(ctx.sample_manifest()))
    run = ctx.start("Qelda.exe")
    dlg = ctx.wait_dialog()
    check_offer_dialog(ctx, dlg, "1.0", offered_notes(ctx, "1.0"))
    ctx.expect_one_manifest_get()
    ctx.shot("offer")
    if window_shot:
        ctx.true(ctx.shot("dialog", window=dlg) is not None, "screenshot of the dialog alone")
    close_dialog(ctx, run, dlg, how)
    ctx.eq(ctx.registry()[2], "1.0\0".encode("utf-16-le").hex(), "registry value bytes")
    ctx.eq(len(ctx.manifest_requests()), 1, "manifest requests after closing")


@scenario
def offer_exit_button(ctx):
    offer_and_close(ctx, "exit", window_shot=True)


@scenario
def offer_close_box(ctx):
    offer_and_close(ctx, "close")


@scenario
def offer_escape_key(ctx):
    offer_and_close(ctx, "escape")


@scenario
def offer_initial_focus(ctx):
    # Upgrade is the default button and first in the tab order.
    ctx.set_version("1.0")
    ctx.serve(Reply.manifest(ctx.sample_manifest()))
    run = ctx.start("Qelda.exe")
    dlg = ctx.wait_dialog()
    focus = ctx.driver.call("focus", hwnd(dlg))
    ctx.eq(focus.get("id"), IDC_UPGRADE, "control with the initial focus")
    c = ctx.driver.controls(hwnd(dlg))
    ctx.true(c[IDC_UPGRADE]["style"] & 0x0F == BS_DEFPUSHBUTTON, "Upgrade is the default button")
    close_dialog(ctx, run, dlg, "exit")


@scenario
def offer_about_box(ctx):
    # System commands 0x10 to 0x1F open the About box; it closes with its OK
    # button and the update dialog stays.
    ctx.set_version("1.0")
    ctx.serve(Reply.manifest(ctx.sample_manifest()))
    run = ctx.start("Qelda.exe")
    dlg = ctx.wait_dialog()
    for command in (IDM_ABOUTBOX, IDM_ABOUTBOX | 0x0F):
        ctx.driver.call("syscommand", hwnd(dlg), command)
        a = ctx.driver.wait_window(ABOUT_CAPTION, WINDOW_TIMEOUT, "dialog", check=False)
        ctx.true(a["ok"], "the About box appeared for system command 0x%X" % command)
        about = a["window"]
        texts = [c["text"] for c in ctx.driver.call("controls", hwnd(about))["controls"]]
        ctx.true("Update 1.0 版" in texts, "About box text: %r" % texts)
        ctx.shot("about")
        ctx.driver.call("click", hwnd(about), IDOK)
        ctx.wait_gone(about, "the About box")
        ctx.true(ctx.driver.call("window", hwnd(dlg))["window"]["visible"],
                 "the update dialog stays after the About box")
    close_dialog(ctx, run, dlg, "exit")


def registry_failure(ctx, message):
    ctx.serve(Reply.manifest(ctx.sample_manifest()))
    run = ctx.start("Qelda.exe")
    box = ctx.wait_msgbox()
    ctx.eq(box["caption"], APP_CAPTION, "message box caption")
    ctx.eq(box["text"], message, "message box text")
    ctx.eq([b["id"] for b in box["buttons"] if b["visible"]], [IDOK], "message box buttons")
    ctx.eq(box["icon"], False, "message box icon")
    ctx.shot("message")
    ctx.driver.call("answer", hwnd(box["window"]), IDOK)
    ctx.wait_gone(box["window"], "the message box")
    # An empty installed version matches the record whose OldVer is empty.
    dlg = ctx.wait_dialog()
    check_offer_dialog(ctx, dlg, "", offered_notes(ctx, ""))
    ctx.shot("offer")
    ctx.eq(len(ctx.driver.windows(APP_CAPTION)), 1, "windows with the caption")
    close_dialog(ctx, run, dlg, "exit")
    ctx.expect_one_manifest_get()


@scenario
def registry_value_missing(ctx):
    ctx.delete_value()
    registry_failure(ctx, MSG_NO_VALUE)
    ctx.eq(ctx.registry()[:2], (True, False), "key kept, value still absent")


@scenario
def registry_key_missing(ctx):
    ctx.delete_key()
    registry_failure(ctx, MSG_NO_KEY)
    ctx.eq(ctx.registry()[:2], (False, False), "the key is not created")


@scenario
def registry_value_lengths(ctx):
    # The value is read into 80 bytes: 39 characters and the terminator fit,
    # 40 do not (the read fails with its message and the version is empty).
    ctx.serve(Reply.manifest(ctx.sample_manifest()))
    fits = "1." + "0" * 37
    ctx.set_version(fits)
    run = ctx.start("Qelda.exe")
    dlg = ctx.wait_dialog()
    check_offer_dialog(ctx, dlg, fits, offered_notes(ctx, ""))
    close_dialog(ctx, run, dlg, "exit")
    ctx.set_version("1." + "0" * 38)
    ctx.server.clear_log()
    registry_failure(ctx, MSG_NO_VALUE)


@scenario
def bad_command_lines(ctx):
    ctx.set_version("1.0")
    ctx.serve(Reply.manifest(ctx.sample_manifest()))
    exact = [None, "", "Qelda", "Qelda.exe ", '"Qelda.exe"', "Qelda.ex", "Qelda.exe."]
    for tail in exact:
        run = ctx.start_exact(tail)
        ctx.expect_silent_exit(run)
        # The command line is checked before the registry or the network is touched.
        ctx.expect_no_request()
    # As wine64 passes arguments: none, and one with a trailing blank (Wine quotes it).
    for args in ([], ["Qelda.exe "]):
        ctx.expect_silent_exit(ctx.start(*args, label="wine64 Update.exe %r" % args))
        ctx.expect_no_request()
    ctx.shot("after")


@scenario
def upper_case_exe_accepted(ctx):
    ctx.set_version("1.0")
    ctx.serve(Reply.manifest(ctx.sample_manifest()))
    run = ctx.start_exact("QELDA.EXE")
    dlg = ctx.wait_dialog()
    check_offer_dialog(ctx, dlg, "1.0", offered_notes(ctx, "1.0"))
    ctx.shot("offer")
    close_dialog(ctx, run, dlg, "exit")


@scenario
def server_down(ctx):
    ctx.set_version("1.0")
    ctx.server.stop()
    try:
        ctx.true(ctx.server.nothing_listens(), "nothing listens on the manifest port")
        ctx.expect_silent_exit(ctx.start("Qelda.exe"))
        ctx.shot("after")
    finally:
        ctx.server.start()


@scenario
def server_404_page(ctx):
    ctx.set_version("1.0")
    ctx.serve(Reply.not_found())
    ctx.expect_silent_exit(ctx.start("Qelda.exe"))
    ctx.expect_one_manifest_get()
    ctx.shot("after")


@scenario
def server_error_status_with_manifest(ctx):
    # The status is never looked at: a manifest that comes with 404 is read.
    ctx.set_version("1.0")
    ctx.serve(Reply(status=404, body=ctx.sample_manifest()))
    run = ctx.start("Qelda.exe")
    dlg = ctx.wait_dialog()
    check_offer_dialog(ctx, dlg, "1.0", offered_notes(ctx, "1.0"))
    close_dialog(ctx, run, dlg, "exit")


@scenario
def server_empty_manifest(ctx):
    ctx.set_version("1.0")
    ctx.serve(Reply.manifest(b""))
    ctx.expect_silent_exit(ctx.start("Qelda.exe"))
    ctx.expect_one_manifest_get()
    ctx.shot("after")


@scenario
def server_answer_cut_short(ctx):
    # The cut falls inside the leading comment, before any Update element, so a
    # client that keeps the partial body finds no record either.
    ctx.set_version("1.0")
    body = ctx.sample_manifest()
    padding = b"<!-- " + b"x" * (len(body) + 100) + b" -->\n"
    full = body.replace(b"<QeldaUpdates", padding + b"<QeldaUpdates", 1)
    ctx.serve(Reply.cut_short(full))
    ctx.expect_silent_exit(ctx.start("Qelda.exe"))
    ctx.expect_one_manifest_get()
    ctx.shot("after")


@scenario
def server_drops_connection(ctx):
    ctx.set_version("1.0")
    ctx.serve(Reply.dropped())
    ctx.expect_silent_exit(ctx.start("Qelda.exe"))
    ctx.true(len(ctx.manifest_requests()) >= 1, "the manifest was requested")
    ctx.shot("after")


@scenario
def server_slow_answer(ctx):
    # The request has no time limit: a manifest that comes late is still read.
    ctx.set_version("1.0")
    ctx.serve(Reply.manifest(ctx.sample_manifest(), delay=4.0))
    run = ctx.start("Qelda.exe")
    dlg = ctx.wait_dialog()
    check_offer_dialog(ctx, dlg, "1.0", offered_notes(ctx, "1.0"))
    ctx.expect_one_manifest_get()
    close_dialog(ctx, run, dlg, "exit")


@scenario
def second_instance_exits(ctx):
    ctx.set_version("1.0")
    ctx.serve(Reply.manifest(ctx.sample_manifest()))
    first = ctx.start("Qelda.exe", label="first Update.exe")
    dlg = ctx.wait_dialog()
    second = ctx.start("Qelda.exe", label="second Update.exe")
    deadline = time.monotonic() + EXIT_TIMEOUT
    while second.poll() is None:
        shown = ctx.driver.windows(APP_CAPTION)
        if [w for w in shown if w["hwnd"] != dlg["hwnd"]]:
            ctx.fail("the second updater showed a window: %r" % shown)
        if time.monotonic() > deadline:
            ctx.fail("the second updater did not end by itself")
        time.sleep(0.2)
    ctx.true(first.poll() is None, "the first updater keeps running")
    ctx.eq([w["hwnd"] for w in ctx.driver.windows(APP_CAPTION)], [dlg["hwnd"]],
           "only the first dialog is shown")
    ctx.shot("after-second")
    close_dialog(ctx, first, dlg, "exit")


# ---------------------------------------------------------------------------
# The update itself: download, installation, restart
#
# Each of these scenarios lays out an installed product in the prefix, under
# C:\Program Files\Brenvik\Qelda: Update.exe, a stand-in Qelda.exe (a copy of
# the UI driver, which idles when started without arguments) and data files
# in subfolders. The updater installs into its own folder, so it is started
# from there. The package is a ZIP made here with Python's zipfile and served
# by the update server.

INSTALL_WIN = "C:\\Program Files\\Brenvik\\Qelda"
PRODUCT = "Qelda.exe"
PACKAGE_PATH = "/pkg/Qelda-2.0.zip"
PACKAGE_NAME = "Qelda-2.0.zip"
IDCANCEL = 2
MSG_URL = "url地址不正确"
MSG_DAMAGED = "升级包已损坏，无法安装Qelda。"
MSG_DONE = "Qelda软件已升级到2.0版本!"
SYSTEM_FILE = "qelda-e2e-system-file.txt"

OLD_FILES = {
    "readme.txt": b"Qelda 1.0 readme\r\n",
    "data/config.ini": b"[qelda]\r\nversion=1.0\r\n",
    "data/sub/old.dat": b"old data " * 100,
    "keep.txt": b"not in the package\r\n",
}
NEW_FILES = {
    "readme.txt": b"Qelda 2.0 readme, NEW-README-CONTENT\r\n",
    "data/config.ini": b"[qelda]\r\nversion=2.0\r\n",
    "data/sub/old.dat": b"new data " * 300,
    "data/sub/added.txt": b"added in 2.0\r\n",
    "plugins/extra/new.dll.txt": b"a new folder\r\n",
}


def digest(data):
    import hashlib
    return "%d:%s" % (len(data), hashlib.sha256(data).hexdigest()[:16])


def digests(files):
    return {name: digest(data) for name, data in files.items()}


def make_zip(entries, method=None):
    """ZIP bytes with the entries (name -> bytes) in order; folders implied."""
    import io
    import zipfile
    buf = io.BytesIO()
    method = zipfile.ZIP_DEFLATED if method is None else method
    with zipfile.ZipFile(buf, "w", method) as z:
        for name, data in entries.items():
            info = zipfile.ZipInfo(name, date_time=(2026, 1, 2, 3, 4, 6))
            info.compress_type = method
            z.writestr(info, data)
    return buf.getvalue()


class Installed:
    """The product's folder in the prefix, from the Linux side."""

    def __init__(self, ctx):
        self.ctx = ctx
        self.dir = os.path.join(ctx.run.session.prefix, "drive_c", "Program Files", "Brenvik",
                                "Qelda")
        self.system_dir = os.path.join(ctx.run.session.prefix, "drive_c", "windows", "system32")

    def lay_out(self, files=OLD_FILES):
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        shutil.copy2(self.ctx.run.args.update, os.path.join(self.dir, "Update.exe"))
        shutil.copy2(self.ctx.run.args.driver, os.path.join(self.dir, PRODUCT))
        for name, data in files.items():
            path = os.path.join(self.dir, *name.split("/"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)

    def files(self, root=None):
        """Every file below the folder: relative path -> digest of its bytes."""
        root = root or self.dir
        out = {}
        for d, _, names in os.walk(root):
            for n in names:
                p = os.path.join(d, n)
                with open(p, "rb") as f:
                    out[os.path.relpath(p, root).replace(os.sep, "/")] = digest(f.read())
        return out

    def win(self, name):
        return INSTALL_WIN + "\\" + name.replace("/", "\\")


def product_pids(ctx):
    # The driver's filter ignores case; the product's name is compared exactly.
    return sorted(p["pid"] for p in ctx.driver.processes(PRODUCT) if p["exe"] == PRODUCT)


def update_record(ctx, net_url=None, local_path=""):
    if net_url is None:
        net_url = "http://127.0.0.1:%d%s" % (ctx.server.port, PACKAGE_PATH)
    return manifest({"OldVer": "1.0", "NewVer": "2.0", "NetUrl": net_url, "LocalPath": local_path,
                     "UpdateInfo": "2.0: 新的版本", "InfoUrl": "http://127.0.0.1/log",
                     "IsUpdate": "1"})


def start_installed(ctx, inst, running_product=True):
    """Starts the stand-in product (when asked) and the updater from the
    product's folder, as the product does: its executable name as the whole
    command line."""
    product = None
    if running_product:
        product = ctx.driver.call("start", inst.win(PRODUCT))["pid"]
    pid = ctx.driver.call("start", inst.win("Update.exe"), PRODUCT)["pid"]
    r = UpdateRun(ctx, "Update.exe from the product folder", pid=pid)
    ctx.runs.append(r)
    return r, product


def click_upgrade(ctx, relaunch=True):
    dlg = ctx.wait_dialog()
    if not relaunch:
        ctx.driver.call("click", hwnd(dlg), IDC_RELAUNCH)
        deadline = time.monotonic() + 10
        while ctx.driver.controls(hwnd(dlg))[IDC_RELAUNCH].get("check") != 0:
            if time.monotonic() > deadline:
                ctx.fail("the relaunch box did not clear")
            time.sleep(0.1)
    ctx.driver.call("click", hwnd(dlg), IDC_UPGRADE)
    return dlg


def wait_progress(ctx, dlg):
    """The progress dialog: the other dialog with the program's caption."""
    a = ctx.driver.wait_window(APP_CAPTION, WINDOW_TIMEOUT, "dialog", exclude=(dlg["hwnd"],),
                               check=False)
    ctx.true(a["ok"], "the progress dialog appeared")
    return a["window"]


def expect_box(ctx, text, icon, buttons=(IDOK,)):
    box = ctx.wait_msgbox()
    ctx.eq(box["caption"], APP_CAPTION, "message box caption")
    ctx.eq(norm_lines(box["text"]), norm_lines(text), "message box text")
    ctx.eq([b["id"] for b in box["buttons"] if b["visible"]], list(buttons), "message box buttons")
    ctx.eq(box["icon"], icon, "message box icon")
    return box


def answer(ctx, box, button=IDOK):
    ctx.driver.call("answer", hwnd(box["window"]), button)
    ctx.wait_gone(box["window"], "the message box")


def kill_products(ctx):
    ctx.driver.call("kill", PRODUCT, check=False)


def complete_update(ctx, relaunch, slow=False):
    inst = Installed(ctx)
    inst.lay_out()
    ctx.set_version("1.0")
    ctx.serve(Reply.manifest(update_record(ctx)))
    package = dict(NEW_FILES)
    with open(ctx.run.args.driver, "rb") as f:
        package[PRODUCT] = f.read()  # the running product's own file is replaced too
    data = make_zip(package)
    if slow:
        # About three seconds for the whole package.
        ctx.serve_package(Reply.package(data, chunk=max(1, len(data) // 30), pause=0.1))
    else:
        ctx.serve_package(Reply.package(data))
    try:
        run, product = start_installed(ctx, inst)
        ctx.true(product in product_pids(ctx), "the stand-in product runs")
        dlg = click_upgrade(ctx, relaunch)
        if slow:
            progress = wait_progress(ctx, dlg)
            c = ctx.driver.controls(hwnd(progress))
            ctx.eq(c[1005]["text"], "Qelda软件正在升级到2.0版本...", "progress line (1005)")
            time.sleep(1.0)
            first = ctx.shot("progress-early", window=progress)
            time.sleep(1.0)
            second = ctx.shot("progress-later", window=progress)
            ctx.true(first and second, "screenshots of the progress dialog")
            with open(first, "rb") as f1, open(second, "rb") as f2:
                ctx.true(f1.read() != f2.read(), "the progress bar moved between the screenshots")
        box = expect_box(ctx, MSG_DONE, False)
        ctx.shot("success")
        # Everything is in place before the box: the product was stopped, the
        # files replaced, the version recorded and the package removed.
        ctx.true(product not in product_pids(ctx), "the running product was terminated")
        expected = dict(OLD_FILES)
        expected.update(package)
        with open(ctx.run.args.update, "rb") as f:
            expected["Update.exe"] = f.read()
        ctx.eq(inst.files(), digests(expected), "files of the product folder")
        ctx.eq(ctx.registry()[2], "2.0\0".encode("utf-16-le").hex(), "registry value bytes")
        answer(ctx, box)
        ctx.expect_exit(run)
        deadline = time.monotonic() + (10 if relaunch else 3)
        while not product_pids(ctx) and time.monotonic() < deadline:
            time.sleep(0.2)
        if relaunch:
            ctx.eq(len(product_pids(ctx)), 1, "the product was started again")
        else:
            ctx.eq(product_pids(ctx), [], "product processes (relaunch box cleared)")
        ctx.eq(len(ctx.server.log_of(PACKAGE_PATH)), 1, "package requests")
    finally:
        kill_products(ctx)


@scenario
def update_complete_restarts_product(ctx):
    complete_update(ctx, relaunch=True)


@scenario
def update_slow_download_no_restart(ctx):
    complete_update(ctx, relaunch=False, slow=True)


def refused_update(ctx, reply, text):
    """The package is refused: the box names the fault, and nothing changed."""
    inst = Installed(ctx)
    inst.lay_out()
    before = inst.files()
    ctx.set_version("1.0")
    ctx.serve(Reply.manifest(update_record(ctx)))
    if reply is not None:
        ctx.serve_package(reply)
    try:
        run, product = start_installed(ctx, inst)
        click_upgrade(ctx)
        box = expect_box(ctx, text, True)
        ctx.shot("refused")
        ctx.eq(inst.files(), before, "files of the product folder")
        ctx.eq(ctx.registry()[2], "1.0\0".encode("utf-16-le").hex(), "registry value bytes")
        answer(ctx, box)
        ctx.expect_exit(run)
        ctx.eq(inst.files(), before, "files of the product folder after the run")
        ctx.eq(product_pids(ctx), [], "no product started")
    finally:
        kill_products(ctx)
    return inst


@scenario
def package_not_found(ctx):
    # The transfer stores the 404 page as the package.
    refused_update(ctx, None, MSG_DAMAGED)


@scenario
def package_not_a_zip(ctx):
    refused_update(ctx, Reply(body=b"PK\x03\x04 this is no archive" * 10,
                              content_type="application/zip"), MSG_DAMAGED)


@scenario
def package_crc_damaged(ctx):
    data = make_zip(NEW_FILES, method=0)
    ctx.true(b"NEW-README-CONTENT" in data, "stored entry data")
    bad = data.replace(b"NEW-README-CONTENT", b"NEW-README-CONTENU")
    refused_update(ctx, Reply.package(bad), MSG_DAMAGED)


@scenario
def package_path_traversal(ctx):
    entries = dict(NEW_FILES)
    entries["../evil.txt"] = b"outside"
    inst = refused_update(ctx, Reply.package(make_zip(entries)), MSG_DAMAGED)
    ctx.true(not os.path.exists(os.path.join(os.path.dirname(inst.dir), "evil.txt")),
             "nothing written beside the product folder")


@scenario
def file_in_use_cancel_then_retry(ctx):
    inst = Installed(ctx)
    inst.lay_out()
    before = inst.files()
    ctx.set_version("1.0")
    ctx.serve(Reply.manifest(update_record(ctx)))
    ctx.serve_package(Reply.package(make_zip(NEW_FILES)))
    held = inst.win("data/sub/old.dat")
    in_use = ("“%s” 文件正在被使用\r\n\r\n请关闭正在运行的Qelda程序，然后点击 “确定” 重新升级程序"
              % held)
    ctx.driver.call("hold", held)
    try:
        # Cancel: every file stays as it was.
        run, _ = start_installed(ctx, inst, running_product=False)
        click_upgrade(ctx, relaunch=False)
        box = expect_box(ctx, norm_lines(in_use), True, buttons=(IDOK, IDCANCEL))
        ctx.shot("in-use")
        now = inst.files()
        ctx.true(PACKAGE_NAME in now, "the package was downloaded beside the updater")
        now.pop(PACKAGE_NAME)
        ctx.eq(now, before, "files while the question is open")
        answer(ctx, box, IDCANCEL)
        ctx.expect_exit(run)
        after = inst.files()
        after.pop(PACKAGE_NAME, None)  # a cancelled installation keeps the package
        ctx.eq(after, before, "files after Cancel")
        ctx.eq(ctx.registry()[2], "1.0\0".encode("utf-16-le").hex(), "registry after Cancel")

        # OK once the file is free: the update completes.
        run, _ = start_installed(ctx, inst, running_product=False)
        click_upgrade(ctx, relaunch=False)
        box = expect_box(ctx, norm_lines(in_use), True, buttons=(IDOK, IDCANCEL))
        ctx.driver.call("release", held)
        held = None
        answer(ctx, box, IDOK)
        box = expect_box(ctx, MSG_DONE, False)
        answer(ctx, box)
        ctx.expect_exit(run)
        files = inst.files()
        for name, data in NEW_FILES.items():
            ctx.eq(files.get(name), digest(data), "installed " + name)
        ctx.true(PACKAGE_NAME not in files, "the package is removed")
        ctx.eq(ctx.registry()[2], "2.0\0".encode("utf-16-le").hex(), "registry value bytes")
    finally:
        if held:
            ctx.driver.call("release", held, check=False)
        kill_products(ctx)


@scenario
def cancel_during_download(ctx):
    inst = Installed(ctx)
    inst.lay_out()
    before = inst.files()
    ctx.set_version("1.0")
    ctx.serve(Reply.manifest(update_record(ctx)))
    data = make_zip(NEW_FILES) + b"\0" * 400000  # slack after the archive: a long transfer
    ctx.serve_package(Reply.package(data, chunk=4000, pause=0.1))
    try:
        run, product = start_installed(ctx, inst)
        progress = wait_progress(ctx, click_upgrade(ctx))
        time.sleep(1.5)
        ctx.shot("downloading")
        ctx.driver.call("click", hwnd(progress), IDCANCEL)
        # The click is posted: the dialog hides a moment later, and then no
        # window of the program may appear any more.
        ctx.wait_gone(progress, "the progress dialog")
        ctx.expect_silent_exit(run)
        ctx.eq(inst.files(), before, "files after the cancelled download (no partial package)")
        ctx.eq(ctx.registry()[2], "1.0\0".encode("utf-16-le").hex(), "registry value bytes")
        ctx.true(product in product_pids(ctx), "the product was left running")
    finally:
        kill_products(ctx)


@scenario
def system_local_path(ctx):
    inst = Installed(ctx)
    inst.lay_out()
    before = inst.files()
    target = os.path.join(inst.system_dir, SYSTEM_FILE)
    package = os.path.join(inst.system_dir, PACKAGE_NAME)
    for p in (target, package):
        if os.path.exists(p):
            os.remove(p)
    ctx.set_version("1.0")
    ctx.serve(Reply.manifest(update_record(ctx, local_path="System")))
    ctx.serve_package(Reply.package(make_zip({SYSTEM_FILE: b"installed into system32\r\n"})))
    try:
        run, _ = start_installed(ctx, inst, running_product=False)
        click_upgrade(ctx)
        box = expect_box(ctx, MSG_DONE, False)
        answer(ctx, box)
        ctx.expect_exit(run)
        ctx.true(os.path.exists(target), "the entry was extracted into the system directory")
        with open(target, "rb") as f:
            ctx.eq(f.read(), b"installed into system32\r\n", "system file bytes")
        ctx.true(not os.path.exists(package), "the package is removed from the system directory")
        ctx.eq(inst.files(), before, "the product folder is untouched")
        deadline = time.monotonic() + 10
        while not product_pids(ctx) and time.monotonic() < deadline:
            time.sleep(0.2)
        ctx.eq(len(product_pids(ctx)), 1, "the product restarts from the updater's folder")
    finally:
        kill_products(ctx)
        if os.path.exists(target):
            os.remove(target)


def bad_url(ctx, net_url):
    inst = Installed(ctx)
    inst.lay_out()
    before = inst.files()
    ctx.set_version("1.0")
    ctx.serve(Reply.manifest(update_record(ctx, net_url=net_url)))
    run, _ = start_installed(ctx, inst, running_product=False)
    dlg = click_upgrade(ctx)
    box = expect_box(ctx, MSG_URL, False)
    ctx.true(not ctx.driver.call("window", hwnd(dlg))["window"]["visible"],
             "the update dialog is hidden before the address is examined")
    ctx.shot("bad-url")
    answer(ctx, box)
    ctx.expect_exit(run)
    ctx.eq(inst.files(), before, "files of the product folder")
    ctx.eq(ctx.registry()[2], "1.0\0".encode("utf-16-le").hex(), "registry value bytes")


@scenario
def package_url_empty(ctx):
    bad_url(ctx, "")


@scenario
def package_url_invalid(ctx):
    bad_url(ctx, "无效的地址 没有协议")


# ---------------------------------------------------------------------------
# The run


class Run:
    def __init__(self, args):
        self.args = args
        self.build_dir = os.path.abspath(args.build_dir)
        self.shots_dir = os.path.join(self.build_dir, "e2e-shots")
        self.logs_dir = os.path.join(self.build_dir, "e2e-logs")
        self.app_dir = os.path.join(self.build_dir, "e2e-app")
        self.update_name = os.path.basename(args.update)
        self.update_win = harness.windows_path(os.path.join(self.app_dir, self.update_name))
        host, port, self.manifest_path = harness.parse_manifest_url(args.url)
        self.port = port
        self.log = None
        self.display = None
        self.session = None
        self.driver = None
        self.server = None

    def setup(self):
        for d in (self.shots_dir, self.logs_dir, self.app_dir):
            shutil.rmtree(d, ignore_errors=True)
            os.makedirs(d)
        shutil.copy2(self.args.update, os.path.join(self.app_dir, self.update_name))
        self.log = open(os.path.join(self.logs_dir, "setup.log"), "w", encoding="utf-8")
        self.server = harness.UpdateServer(self.port, log=self.log).start()
        self.display = harness.Display(use_existing=self.args.display).start()
        self.session = harness.WineSession(os.path.join(self.build_dir, "e2e-prefix"),
                                           self.display, log=self.log)
        self.session.kill_all()  # a session left over from an interrupted run
        self.session.prepare()
        self.driver = harness.Driver(self.session, self.args.driver, log=self.log).start()

    def teardown(self):
        if self.driver is not None:
            self.driver.stop()
        if self.session is not None:
            self.session.kill_all()
        if self.display is not None:
            self.display.stop()
        if self.server is not None:
            self.server.stop()
        if self.log is not None:
            self.log.close()

    def use_log(self, name):
        self.log.close()
        self.log = open(os.path.join(self.logs_dir, name + ".log"), "w", encoding="utf-8")
        for obj in (self.server, self.session, self.driver):
            obj.log = self.log

    def run_one(self, name, fn):
        self.use_log(name)
        if not self.driver.alive():
            self.driver = harness.Driver(self.session, self.args.driver, log=self.log).start()
        self.server.reset()
        ctx = Ctx(self, name)
        started = time.monotonic()
        error = None
        try:
            fn(ctx)
        except Failed as e:
            error = str(e)
        except Exception as e:  # a harness fault fails this scenario only
            error = "%s: %s" % (type(e).__name__, e)
            harness.log_line(self.log, traceback.format_exc())
        try:
            if not ctx.cleanup() and error is None:
                error = "an Update.exe process was left running"
        except Exception as e:
            error = error or "cleanup failed: %s" % e
        for r in ctx.runs:
            harness.log_line(self.log, "exit code of %s: %r" % (r.label, r.code))
        for req in self.server.log_of():
            harness.log_line(self.log, "request: %s %s" % (req["method"], req["raw"]))
        took = time.monotonic() - started
        if error is None:
            print("PASS %-36s %5.1f s" % (name, took), flush=True)
        else:
            print("FAIL %-36s %5.1f s  %s\n     log: %s" % (
                name, took, error, os.path.join(self.logs_dir, name + ".log")), flush=True)
        return error is None


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build-dir", required=True)
    p.add_argument("--update", required=True, help="Update.exe to test")
    p.add_argument("--driver", required=True, help="uidriver.exe")
    p.add_argument("--url", required=True, help="manifest URL compiled into Update.exe")
    p.add_argument("--only", help="run the scenarios whose name matches this regex")
    p.add_argument("--list", action="store_true", help="list the scenarios")
    p.add_argument("--display", help="use this X display instead of a private Xvfb")
    p.add_argument("--budget", type=float, default=900.0,
                   help="seconds after which the remaining scenarios are not started "
                        "(and fail), so that the run ends and cleans up on its own "
                        "before ctest's time limit")
    args = p.parse_args()

    chosen = [(n, f) for n, f in SCENARIOS if not args.only or re.search(args.only, n)]
    if args.list:
        for n, _ in chosen:
            print(n)
        return 0
    if harness.parse_manifest_url(args.url) is None:
        print("e2e: Update.exe was built for the manifest URL %s; the end-to-end scenarios "
              "need a loopback one (configure with -DUPDATE_MANIFEST_URL="
              "http://127.0.0.1:PORT/client/updateqelda.xml)" % args.url)
        return 77
    for f in (args.update, args.driver):
        if not os.path.isfile(f):
            print("e2e: %s does not exist" % f)
            return 2

    run = Run(args)

    def on_signal(signum, frame):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, on_signal)
    started = time.monotonic()
    failed = []
    try:
        try:
            run.setup()
        except harness.HarnessError as e:
            print("e2e: %s" % e)
            return 2
        for name, fn in chosen:
            if time.monotonic() - started > args.budget:
                print("FAIL %-36s not started: the run's %.0f s are spent" % (name, args.budget))
                failed.append(name)
            elif not run.run_one(name, fn):
                failed.append(name)
    except KeyboardInterrupt:
        print("e2e: interrupted")
        return 2
    finally:
        run.teardown()
    print("%d of %d scenarios passed in %.0f s; screenshots in %s" % (
        len(chosen) - len(failed), len(chosen), time.monotonic() - started, run.shots_dir))
    if failed:
        print("failed: " + " ".join(failed))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
