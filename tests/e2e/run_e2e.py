#!/usr/bin/env python3
"""End-to-end scenarios: the real Update.exe under Wine against a loopback update server, driven
from outside by uidriver.exe; SCENARIOS, at the end, is the table. Screenshots go to
BUILD/e2e-shots, the driver's transcript and the requests to BUILD/e2e-logs/e2e.log. Exit status 1: a
scenario failed, 2: the run could not start, 77: URL is not on loopback."""

import argparse
import os
import pathlib
import random
import re
import shutil
import signal
import subprocess
import sys
import time
import traceback
import xml.etree.ElementTree as ET
from contextlib import ExitStack
from types import SimpleNamespace

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (INSTALL_WIN, NOT_FOUND, REG_KEY, ROOT, WINE64, Display, Driver, Installation, Reply, Server,  # noqa: E402
                     Wine, make_zip, manifest, until, windows_path)

IDOK, IDCANCEL, SC_CLOSE, VK_ESCAPE, BS_DEFPUSHBUTTON, WS_DISABLED = 1, 2, 0xF060, 0x1B, 1, 0x08000000
VERSION, NOTES, UPGRADE, EXIT, PROGRESS, LINK, RELAUNCH = 1001, 1002, 1003, 1004, 1005, 1006, 1007
MSG_NO_KEY, MSG_NO_VALUE = "获取HKEY失败", "获取注册表信息失败"
MSG_URL, MSG_DAMAGED, MSG_DONE = "url地址不正确", "升级包已损坏，无法安装Qelda。", "Qelda软件已升级到2.0版本!"
MSG_UNSIGNED = "升级包签名无效，无法安装Qelda。"
WM_DOWNLOAD_PROGRESS, WM_DOWNLOAD_FINISHED, WM_COMMAND = 0x1F5A, 0x1F59, 0x111
MSG_IN_USE = "“%s” 文件正在被使用\n\n请关闭正在运行的Qelda程序，然后点击 “确定” 重新升级程序"

with open(os.path.join(ROOT, "tests", "data", "e2e", "updateqelda.xml"), "rb") as f:
    SAMPLE = f.read()  # records for OldVer "" (the full package), "1.0" and "1.5"
NOTES_OF = {u.findtext("OldVer"): u.findtext("UpdateInfo") for u in ET.fromstring(SAMPLE)}
ZIP, PACKAGE = "application/zip", "Qelda-2.0.zip"
OLD_FILES = {"readme.txt": b"Qelda 1.0 readme\r\n", "data/config.ini": b"[qelda]\r\nversion=1.0\r\n",
             "data/sub/old.dat": b"old data " * 100, "keep.txt": b"not in the package\r\n"}
NEW_FILES = {"readme.txt": b"Qelda 2.0 readme, NEW-README-CONTENT\r\n",
             "data/config.ini": b"[qelda]\r\nversion=2.0\r\n", "data/sub/old.dat": b"new data " * 300,
             "data/sub/added.txt": b"added in 2.0\r\n", "plugins/extra/new.dll.txt": b"a new folder\r\n"}
NO_KEY, NO_VALUE, DOWN = "(no key)", "(no value)", "(server down)"
# The updater's exit codes, as the README documents them.
(UP_TO_DATE, UPDATED, DECLINED, DOWNLOAD_FAILED, PACKAGE_REFUSED, FILE_IN_USE, INSTALL_FAILED, NO_MANIFEST, DISABLED,
 COMMAND_LINE, RECOVERY_FAILED, ALREADY_RUNNING) = range(12)
SIGNING_KEY = os.path.join(ROOT, "tests", "data", "signing", "publisher.key")
OTHER_KEY = os.path.join(ROOT, "tests", "data", "signing", "other.key")
POLICY_KEY, ACCEPTED = r"SOFTWARE\Policies\Brenvik\Qelda\Update", "ManifestSignedAt"

# How a keyed updater's manifest is signed: validly (now, for 30 days), by another key, long expired, or
# validly but before the newest one the machine accepted (which the registry then says).
SIGNINGS = {
    "valid": lambda ctx, reply: ctx.sign_manifest(reply),
    "forged": lambda ctx, reply: ctx.sign_manifest(reply, key=OTHER_KEY),
    "expired": lambda ctx, reply: ctx.sign_manifest(reply, days="1", signed_at="2020-01-01T00:00:00Z"),
    "older": lambda ctx, reply: (ctx.d("reg_set", REG_KEY, ACCEPTED, str(int(time.time()) + 3600), "qword"),
                                 ctx.sign_manifest(reply))[1],
}


def plant_link(log_dir, elsewhere):  # the log's folder is a link (a junction, to Windows) to a folder elsewhere
    elsewhere.mkdir(parents=True, exist_ok=True)
    log_dir.parent.mkdir(parents=True, exist_ok=True)
    log_dir.symlink_to(elsewhere)


def plant_open_folder(log_dir, elsewhere):  # the maker's folder made by someone else, writable by anyone
    log_dir.parent.mkdir(parents=True, exist_ok=True)
    log_dir.parent.chmod(0o777)


PLANTS = {"link": plant_link, "open folder": plant_open_folder}



def record(old="1.0", new="2.0", net_url="http://@SERVER@/pkg/" + PACKAGE, local_path="", info_url="http://@SERVER@/log"):
    return Reply(manifest({"OldVer": old, "NewVer": new, "NetUrl": net_url, "LocalPath": local_path,
                           "UpdateInfo": "2.0: 新的版本", "InfoUrl": info_url, "IsUpdate": "1"}))


def eq(actual, expected, what):
    assert actual == expected, "%s: expected %r, got %r" % (what, expected, actual)


def same_files(actual, expected, what):  # byte for byte; a difference is told by file name
    wrong = sorted(n for n in set(actual) | set(expected) if actual.get(n) != expected.get(n))
    assert not wrong, "%s: these differ from what was expected: %s" % (what, ", ".join(wrong))


class Ctx:
    """A row at work: what it set up, what it started that must end, the steps and checks the shapes share."""

    def __init__(self, run, name, code):
        self.run, self.name, self.code = run, name, code  # code: the exit code the row's last run ends with
        self.d, self.inst, self.started, self.shots = run.driver, run.inst, [], 0

    def setup(self, version="1.0", reply=Reply(SAMPLE), package=NOT_FOUND, signed=False, old=OLD_FILES, name=PACKAGE,
              signing="valid", policies={}, plant=None):
        """Qelda 1.0 laid out (with the updater that has the publisher key if signed), `version` recorded
        (or NO_KEY, NO_VALUE), manifest and package (at /pkg/`name`) served (or DOWN). signed: the manifest
        is signed as `signing` says (valid; None: not at all; forged, expired, older: see SIGNINGS).
        policies: the machine's updater policies (name -> number or text). plant: what another user left
        where the log goes (a link to a folder elsewhere, or a folder anyone may write)."""
        self.inst.lay_out(dict(old, **({"Update.exe": self.run.signed_updater} if signed else {})))
        if version in (NO_KEY, NO_VALUE):  # the key with another value; then without the version, or none
            self.d("reg_set", REG_KEY, "other", "kept")
            self.d("reg_delete", REG_KEY, *(["version"] if version == NO_VALUE else []))
        else:
            self.d("reg_set", REG_KEY, "version", version)
        self.d("reg_delete", REG_KEY, ACCEPTED)
        self.d("reg_delete", POLICY_KEY)
        for policy, value in policies.items():
            self.d("reg_set", POLICY_KEY, policy, str(value).replace("@SERVER@", self.run.host),
                   *(["dword"] if isinstance(value, int) else []))
        if signed and signing and reply not in (DOWN,) and reply.status == 200:
            reply = SIGNINGS[signing](self, reply)
        if reply == DOWN:
            self.run.server.stop()
        self.run.server.routes = {self.run.manifest_path: reply, "/pkg/" + name: package}
        elsewhere = pathlib.Path(self.run.wine.prefix, "drive_c", "windows", "temp", "elsewhere")
        for folder in (self.run.log_dir.parent, elsewhere):
            if folder.is_symlink():
                folder.unlink()
            shutil.rmtree(folder, ignore_errors=True)
        if plant:
            PLANTS[plant](self.run.log_dir, elsewhere)
        self.log_size = self.run.log_file.stat().st_size if self.run.log_file.exists() else 0
        self.before = self.inst.files(), self.registry(), self.profile()

    def sign_manifest(self, reply, days="30", signed_at=None, key=SIGNING_KEY):  # by update-tool.exe
        path = os.path.join(self.run.shots_dir, "..", "e2e-logs", "manifest.xml")
        pathlib.Path(path).write_bytes(reply.body.replace(b"@SERVER@", self.run.host.encode()))  # as served
        subprocess.run([WINE64, self.run.tool, "sign-manifest", "--key", windows_path(key), "--valid-days", days,
                        *(["--signed-at", signed_at] if signed_at else []), windows_path(path)],
                       env=self.run.wine.env, check=True, capture_output=True)
        return Reply(pathlib.Path(path).read_bytes())

    def make_delta(self, old, new):  # a delta package from the `old` tree to the `new` one, by update-tool
        work = pathlib.Path(self.run.shots_dir, "..", "e2e-logs", "delta")
        shutil.rmtree(work, ignore_errors=True)
        for side, files in (("old", old), ("new", new)):
            for name, data in files.items():
                work.joinpath(side, name).parent.mkdir(parents=True, exist_ok=True)
                work.joinpath(side, name).write_bytes(data)
        subprocess.run([self.run.delta_tool, "delta", str(work / "old"), str(work / "new"), str(work / "d.zip")],
                       check=True, capture_output=True)
        return work.joinpath("d.zip").read_bytes()

    def logged(self):  # what this row's runs wrote into the log: (event, {key: value}) in order
        lines = self.run.log_file.read_bytes()[self.log_size:].decode() if self.run.log_file.exists() else ""
        field = re.compile(r'(\S+?)=("(?:[^"\\]|\\.)*"|\S*)')
        return [(line.split(" ")[2], {k: v[1:-1].encode().decode("unicode_escape") if v.startswith('"') else v
                                      for k, v in field.findall(line)})
                for line in lines.splitlines()]

    def registry(self):  # (whether the key exists, the version's bytes in hex or None, the accepted manifest's)
        return tuple(self.d("reg_get", REG_KEY, "version")[k] for k in ("key", "value")) + (
            self.d("reg_get", REG_KEY, ACCEPTED)["value"],)

    def profile(self):  # the large files in the users' folders of the prefix (an Internet cache, say)
        users = pathlib.Path(self.run.wine.prefix, "drive_c", "users")
        return {str(p) for p in users.rglob("*") if p.is_file() and p.stat().st_size > (1 << 20)}

    def unchanged(self, also={}, staged=False, accepted=False):  # nothing beside the folder either; staged: its
        # work folders too; accepted: a signed manifest was accepted (its signing time is kept), nothing else
        files = self.inst.files()
        work = {n for n in files if n.startswith((".update-staging-", ".update-download-"))}
        assert staged is None or bool(work) == staged, "work folder: %s" % sorted(work)
        same_files({n: v for n, v in files.items() if n not in work}, dict(self.before[0], **also), "product folder")
        eq(self.profile() - self.before[2], set(), "large files left in the profile")
        eq(self.registry()[:2] if accepted else self.registry(), self.before[1][:2] if accepted else self.before[1],
           "installed version (and the accepted manifest's time) in the registry")
        assert not accepted or self.registry()[2] is not None, "the accepted manifest's time is kept"
        eq(os.listdir(os.path.dirname(self.inst.dir)), ["Qelda"], "folders beside the product's")

    def updated(self, files):
        same_files(self.inst.files(), dict(self.before[0], **files), "product folder")
        eq(self.registry()[:2], (True, "2.0\0".encode("utf-16-le").hex()), "installed version in the registry")

    def start(self, cmdline='"{exe}" Qelda.exe', exe=None):  # Update.exe from the folder, unless exe
        exe = exe or self.inst.win("Update.exe")
        self.started.append(self.d("start", exe, cmdline.format(exe=exe))["pid"])
        return self.started[-1]

    def product(self):  # the stand-in, started from the folder
        return self.d("start", self.inst.win("Qelda.exe"), "Qelda.exe")["pid"]

    def products(self):  # the stand-ins running
        return self.d("processes", "Qelda.exe")["pids"]

    def kill(self, pid):
        self.d("kill", pid)
        until(lambda: self.d("exitcode", pid)["code"] is not None, 10, "process %d ends" % pid)

    def exits(self, pid, allowed=None, code=None):  # by itself, with `code` (the row's); with `allowed`, no
        def ended():                                      # other window meanwhile
            shown = set(self.d.windows()) - set(allowed) if allowed is not None else None
            assert not shown, "a window appeared while Update.exe should end: %s" % shown
            return self.d("exitcode", pid)["code"] is not None
        until(ended, 60, "Update.exe (%d) ends" % pid)
        eq(self.d("exitcode", pid)["code"], self.code if code is None else code, "exit code")

    def requests(self, count, path=None):  # of the manifest (None: one or more), each 'path?N' with N in 0-999
        asked = self.run.server.requests
        assert len(asked) >= 1 if count is None else len(asked) == count, "requests: %r" % asked
        for r in asked:
            assert re.fullmatch(re.escape(path or self.run.manifest_path) + r"\?(0|[1-9]\d{0,2})", r), r

    def box(self, text, icon, buttons=[IDOK], shot="box"):  # the one window now, pictured; what it says
        box = self.d.wait_window("msgbox")
        self.shot(shot)
        eq(self.d.windows(), [box], "windows with the program's caption")
        cs = self.d("controls", box)["controls"]
        eq(([c["text"].replace("\r\n", "\n") for c in cs if c["id"] & 0xFFFF == 0xFFFF],
            any(c["icon"] for c in cs), [c["id"] for c in cs if c["class"] == "Button" and c["visible"]]),
           ([text], icon, buttons), "message box text, icon and buttons")
        return box

    def answer(self, window, button=IDOK, act="click"):
        self.d(act, window, button)
        until(lambda: window not in self.d.windows(), 60, "window %s closes" % window)

    def upgrade(self, relaunch=True):  # on the offer, with the relaunch box cleared unless relaunch
        dlg = self.d.wait_window("dialog")
        if not relaunch:
            self.d("click", dlg, RELAUNCH)  # the dialog's thread takes posted clicks in order
        self.d("click", dlg, UPGRADE)
        return dlg

    def sign(self, data, version):  # the package signed with the test suite's key, by update-tool.exe
        path = os.path.join(self.run.shots_dir, "..", "e2e-logs", "sign.zip")
        pathlib.Path(path).write_bytes(data)
        subprocess.run([WINE64, self.run.tool, "sign", "--key", windows_path(SIGNING_KEY), "--version", version,
                        windows_path(path)], env=self.run.wine.env, check=True, capture_output=True)
        return pathlib.Path(path).read_bytes()

    def kill_now(self, program):  # SIGKILL to the Linux process of a Windows program of the prefix
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                line = pathlib.Path("/proc", pid, "cmdline").read_bytes()
                environ = pathlib.Path("/proc", pid, "environ").read_bytes().split(b"\0")
            except OSError:
                continue
            if program.encode() in line and b"WINEPREFIX=" + self.run.wine.prefix.encode() in environ:
                os.kill(int(pid), signal.SIGKILL)
                return
        raise AssertionError("no process of %s to kill" % program)

    def shot(self, label, window="screen"):
        self.shots += 1
        return self.d.screenshot(os.path.join(self.run.shots_dir, "%s-%02d-%s.png" % (self.name, self.shots, label)),
                                 window)


# The shapes of the scenarios

def silent(ctx, version="1.0", reply=Reply(SAMPLE), cmdline='"{exe}" Qelda.exe', asks=1, **setup):
    """Nothing newer, nothing readable (or, for the updater with the publisher key, nothing validly and
    freshly signed), not started by the product, updates disabled: no window, nothing changed."""
    ctx.setup(version, reply, **setup)
    ctx.exits(ctx.start(cmdline), allowed=[])
    ctx.requests(asks)
    ctx.unchanged()
    ctx.shot("after")


def offer(ctx, version="1.0", reply=Reply(SAMPLE), cmdline='"{exe}" Qelda.exe', box=None,
          shown="1.0", notes="1.0", close=("click", EXIT), then=None, mirror=None):
    """After the message box `box`, if any, the update dialog: version line `shown`, the notes of
    the record for OldVer `notes`, relaunch ticked, Upgrade focused and default. `then` acts on
    it; `close` (the driver's action) closes it: Update.exe ends, nothing changed. mirror: the policy's
    manifest address; a web address is asked instead of the built-in one (which then answers 404)."""
    ctx.setup(version, reply, policies={"ManifestUrl": mirror} if mirror else {})
    used = mirror and mirror.startswith("http") and mirror.replace("http://@SERVER@", "")
    if used:
        ctx.run.server.routes = {used: reply}
    run = ctx.start(cmdline)
    if box:
        ctx.answer(ctx.box(box, icon=False))
    dlg = ctx.d.wait_window("dialog")
    eq(ctx.d.windows(), [dlg], "windows with the program's caption")
    answer = ctx.d("controls", dlg)
    c = {c["id"]: c for c in answer["controls"]}
    eq({i: c[i]["text"].replace("\r\n", "\n") for i in (VERSION, NOTES, UPGRADE, EXIT, LINK, RELAUNCH)},
       {VERSION: "当前程序版本：" + shown, NOTES: NOTES_OF[notes], UPGRADE: "升级", EXIT: "退出",
        LINK: "更新日志...", RELAUNCH: "升级完成后运行Qelda"}, "texts of the update dialog")
    eq((c[RELAUNCH]["check"], answer["focus"], c[UPGRADE]["style"] & 0xF), (1, UPGRADE, BS_DEFPUSHBUTTON),
       "relaunch ticked, Upgrade focused and the default button")
    ctx.shot("offer")
    if then:
        then(ctx, dlg)
    ctx.answer(dlg, close[1], act=close[0])
    ctx.exits(run)
    ctx.requests(1, path=used or None)
    ctx.unchanged()


def about_box(ctx, dlg):  # system commands 0x10 to 0x1F open it; OK closes it, the offer stays
    for command in (0x10, 0x1F):
        ctx.d("syscommand", dlg, command)
        about = ctx.d.wait_window("dialog", caption="关于 Update")
        assert "Update 1.0 版" in [c["text"] for c in ctx.d("controls", about)["controls"]], "About text"
        ctx.shot("about")
        ctx.answer(about)
        eq(ctx.d.windows(), [dlg], "the offer after the About box")


def log_link(ctx, info_url):
    """The link on the offer. A web address is opened (here through an http handler of the test's own,
    set in the scenarios' own prefix, that notes in the registry what it was asked to open); anything
    else (a program's path, a file: address, another program's URL scheme) leaves the link disabled,
    and a click starts nothing: no handler runs, no program starts."""
    noted, opens = r"SOFTWARE\BrenvikLinkTest", info_url.startswith("http")
    for scheme in ("http", "qeldalinktest"):
        ctx.d("reg_set", r"SOFTWARE\Classes\%s" % scheme, "URL Protocol", "")
        ctx.d("reg_set", r"SOFTWARE\Classes\%s\shell\open\command" % scheme, "",
              r'"C:\windows\system32\reg.exe" add HKLM\%s /v "%%1" /f' % noted)
    ctx.d("reg_delete", noted)
    ctx.setup("1.0", record(info_url=info_url))
    run = ctx.start()
    dlg = ctx.d.wait_window("dialog")
    link = {c["id"]: c for c in ctx.d("controls", dlg)["controls"]}[LINK]
    eq(bool(link["style"] & WS_DISABLED), not opens, "the link disabled")
    ctx.d("click", dlg, LINK)
    url = info_url.replace("@SERVER@", "127.0.0.1:%d" % ctx.run.server.port)
    if opens:
        until(lambda: ctx.d("reg_get", noted, url)["value"] is not None, 30, "the link opened")
    else:
        time.sleep(2)
        eq(ctx.d("reg_get", noted, info_url)["key"], False, "a handler ran")
        eq(ctx.products(), [], "programs started")
    eq(ctx.d.windows(), [dlg], "windows after the link was clicked")
    ctx.answer(dlg, EXIT)
    ctx.exits(run)
    ctx.unchanged()
    ctx.d("reg_delete", noted)


def second_instance(ctx, dlg):  # ends at once without a window; the first offers on
    first = ctx.started[-1]
    ctx.exits(ctx.start(), allowed=[dlg], code=ALREADY_RUNNING)
    eq(ctx.d("exitcode", first)["code"], None, "the first updater runs on")


def refused(ctx, package=NOT_FOUND, reply=record(), text=MSG_DAMAGED, icon=True, signed=False):
    """A package the updater cannot use (signed: one the updater with the publisher key refuses; a
    package "forged" is signed for 2.0 and then changed, a version is what it is signed for): a box
    names the fault, nothing changes, and the running product is never stopped."""
    if isinstance(package, str):
        data = ctx.sign(STORED, "2.0" if package == "forged" else package)
        package = Reply(data.replace(b"CONTENT", b"CONTENU") if package == "forged" else data, ctype=ZIP)
    ctx.setup("1.0", reply, package, signed)
    product, run = ctx.product(), ctx.start()
    ctx.upgrade()
    box = ctx.box(text, icon, shot="refused")
    ctx.unchanged(accepted=signed)
    ctx.answer(box)
    ctx.exits(run)
    ctx.unchanged(accepted=signed)
    eq(ctx.products(), [product], "running products")


def update(ctx, relaunch=True, slow=False, system=False, signed=False, name=PACKAGE):
    """The whole update: the download (slow: the progress bar moves, and progress and finish messages
    that other programs post are ignored), the product stopped, its files replaced and added (system:
    the package's go to system32), the version recorded, the package removed, the success box, the
    product started again if the box was ticked. signed: the updater with the publisher key, the
    package signed for 2.0. name: the package's name in its address (one of its own files, say)."""
    files = dict(NEW_FILES, **{"Qelda.exe": ctx.inst.programs["Qelda.exe"] + b"\0Qelda 2.0\0"})  # tail ignored
    target = pathlib.Path(ctx.inst.dir, *(["..", "..", "..", "windows", "system32"] if system else []))
    if system:
        files = {"e2e-system-file.txt": b"in system32\r\n"}
        for n in [*files, name]:
            target.joinpath(n).unlink(missing_ok=True)
    data = ctx.sign(make_zip(files), "2.0") if signed else make_zip(files)
    ctx.setup("1.0", record(local_path="System" if system else "", net_url="http://@SERVER@/pkg/" + name),
              Reply(data, ctype=ZIP, chunk=len(data) // 30 if slow else 0, pause=0.1), signed, name=name)
    product, run = ctx.product(), ctx.start()
    dlg = ctx.upgrade(relaunch)
    if slow:
        progress = ctx.d.wait_window("dialog", exclude=[dlg])
        eq([c["text"] for c in ctx.d("controls", progress)["controls"] if c["id"] == PROGRESS],
           ["Qelda软件正在升级到2.0版本..."], "progress line")
        for address in (0x10, 0x7FFF0000DEAD):  # a report from elsewhere names memory it must not read
            ctx.d("post", dlg, WM_DOWNLOAD_PROGRESS, 0, address)
        ctx.d("post", dlg, WM_DOWNLOAD_FINISHED, 0, 0)  # and the transfer has not ended
        time.sleep(1)
        early = pathlib.Path(ctx.shot("progress-early", progress)).read_bytes()
        time.sleep(1)
        assert pathlib.Path(ctx.shot("progress-later", progress)).read_bytes() != early, "the progress bar moves"
    box = ctx.box(MSG_DONE, icon=False, shot="success")
    assert product not in ctx.products(), "the running product was stopped"
    ctx.updated({} if system else files)
    assert not signed or ctx.registry()[2] is not None, "the signed manifest's time is kept"
    got = {n: target.joinpath(n).read_bytes() for n in [*files, PACKAGE] if target.joinpath(n).exists()}
    same_files(got, files, "the package's files in place, the package removed")
    eq([p.name for p in target.glob(".update-*")], [], "work and download folders left")
    ctx.answer(box)
    ctx.exits(run)
    eq(len(ctx.products()), 1 if relaunch else 0, "products running after the update")
    eq(ctx.run.server.requests[1:], ["/pkg/" + name], "package requests after the manifest's")


def self_update(ctx):
    """A package with a new Update.exe (the one with the publisher key): the running updater
    installs it; the next start runs the new one, which refuses an unsigned package, and the old
    updater's renamed file is gone."""
    files = dict(NEW_FILES, **{"Update.exe": ctx.run.signed_updater})
    ctx.setup("1.0", record(), Reply(make_zip(files), ctype=ZIP))
    run = ctx.start()
    ctx.upgrade(relaunch=False)
    ctx.answer(ctx.box(MSG_DONE, icon=False))
    ctx.exits(run, code=UPDATED)
    old = [n for n in ctx.inst.files() if n.startswith(".update-old-")]
    eq([ctx.inst.files()[n] for n in old], [ctx.inst.programs["Update.exe"]], "the old updater, renamed aside")
    ctx.updated(dict(files, **{n: ctx.inst.programs["Update.exe"] for n in old}))
    ctx.run.server.routes = {ctx.run.manifest_path: ctx.sign_manifest(record("2.0", "3.0")),
                             "/pkg/" + PACKAGE: Reply(make_zip(NEW_FILES))}
    run = ctx.start()
    ctx.upgrade(relaunch=False)
    ctx.answer(ctx.box(MSG_UNSIGNED, icon=True))
    ctx.exits(run)
    ctx.updated(files)


def killed_in_commit(ctx):
    """The updater killed in the middle of replacing the 1500 files of a large package (as soon as its
    journal is written: the old files already have their second names, so the commit is past its
    point of no return), then started again: it completes the installation, records 2.0 and offers
    nothing. The folder holds exactly the new version's files."""
    files = {"bulk/%04d.txt" % i: b"new %d\r\n" % i for i in range(1500)}
    ctx.setup("1.0", record(), Reply(make_zip(dict(NEW_FILES, **files)), ctype=ZIP),
              old=dict(OLD_FILES, **{name: b"old" for name in files}))
    run = ctx.start()
    ctx.upgrade(relaunch=False)
    folder = pathlib.Path(ctx.inst.dir)
    until(lambda: list(folder.glob(".update-staging-*/journal")), 120, "the commit under way")
    ctx.kill_now("Update.exe")
    until(lambda: ctx.d("exitcode", run)["code"] is not None, 10, "the killed updater is gone")
    assert list(folder.glob(".update-staging-*/journal")), "the crash left the journal"
    ctx.exits(ctx.start(), allowed=[])
    ctx.updated(dict(NEW_FILES, **files))


def stalled_server(ctx, reply):
    """A manifest server that accepts and then stalls: the updater gives up by itself, silently,
    within the time limit and a margin; the next start, with the server well again, offers."""
    ctx.setup("1.0", reply)
    started = time.monotonic()
    ctx.exits(ctx.start(), allowed=[], code=NO_MANIFEST)
    took = time.monotonic() - started
    assert took < ctx.run.timeout + 6, "gave up after %.1f s" % took
    ctx.unchanged()
    ctx.run.server.stop()  # its stalled connections end too
    ctx.run.server.start()
    ctx.run.server.routes = {ctx.run.manifest_path: Reply(SAMPLE)}
    run = ctx.start()
    ctx.answer(ctx.d.wait_window("dialog"), EXIT)
    ctx.exits(run)


def file_in_use(ctx):
    """A file held open: a box asks to close Qelda (the package is staged meanwhile); Cancel changes
    nothing, OK once it is free updates; the start after that finds nothing newer."""
    data = make_zip(NEW_FILES)
    ctx.setup("1.0", record(), Reply(data, ctype=ZIP))
    held = ctx.inst.win("data/sub/old.dat")
    holder = ctx.start('uidriver.exe "%s"' % held, exe=ctx.d.exe)  # the driver holds it open
    run = ctx.start()
    ctx.upgrade(relaunch=False)
    box = ctx.box(MSG_IN_USE % held, icon=True, buttons=[IDOK, IDCANCEL], shot="in-use")
    ctx.unchanged(staged=True)  # downloaded into a folder of its own beside the updater, staged
    ctx.answer(box, IDCANCEL)
    ctx.exits(run, code=FILE_IN_USE)
    ctx.unchanged(staged=None)  # the held file's second name stays in the staging until the next start removes it
    run = ctx.start()
    ctx.upgrade(relaunch=False)
    box = ctx.box(MSG_IN_USE % held, icon=True, buttons=[IDOK, IDCANCEL])
    ctx.kill(holder)
    ctx.answer(box, IDOK)
    ctx.answer(ctx.box(MSG_DONE, icon=False))
    ctx.exits(run, code=UPDATED)
    ctx.exits(ctx.start(), allowed=[])  # the next start removes what the held file kept of the first attempt
    ctx.updated(NEW_FILES)


def cancel(ctx, staging=False):
    """Cancel during the download (staging: while a large package is staged, the transfer over): the run
    ends without another window, nothing installed changes, nothing of the update is left, the product
    runs on."""
    if staging:
        product, run, _, progress = staging_started(ctx)
    else:
        data = make_zip(NEW_FILES) + b"\0" * 400000
        ctx.setup("1.0", record(), Reply(data, ctype=ZIP, chunk=4000, pause=0.1))
        product, run = ctx.product(), ctx.start()
        progress = ctx.d.wait_window("dialog", exclude=[ctx.upgrade()])
        time.sleep(1.5)
    ctx.shot("staging" if staging else "downloading")
    ctx.answer(progress, IDCANCEL)
    ctx.exits(run, allowed=[])
    ctx.unchanged()
    eq(ctx.products(), [product], "running products")


BULK = {"bulk/%04d.txt" % i: b"new %d\r\n" % i for i in range(3000)}


def staging_started(ctx):
    """A large package (3000 more files) downloaded and being staged: (product, run, offer, progress)."""
    ctx.setup("1.0", record(), Reply(make_zip(dict(NEW_FILES, **BULK)), ctype=ZIP))
    product, run = ctx.product(), ctx.start()
    dlg = ctx.upgrade(relaunch=False)
    progress = ctx.d.wait_window("dialog", exclude=[dlg])
    until(lambda: list(pathlib.Path(ctx.inst.dir).glob(".update-staging-*/*/n*")), 60, "the staging under way")
    return product, run, dlg, progress


def no_download(ctx, reply):
    """A package address that is no web address: after Upgrade the run ends as after a failed download,
    with no box and no request; nothing changed, the product runs on."""
    ctx.setup("1.0", reply)
    product, run = ctx.product(), ctx.start()
    ctx.exits(run, allowed=[ctx.upgrade()])  # the offer, until it hides; no progress, no box
    ctx.unchanged()
    eq(ctx.products(), [product], "running products")
    eq(len(ctx.run.server.requests), 1, "requests: the manifest only")


def stalled_download(ctx, cancel):
    """A package server that accepts and says nothing: Cancel ends the run within moments (cancel), or
    the updater gives up by itself once the transfer has made no progress for its limit."""
    ctx.setup("1.0", record(), Reply(hang=True))
    product, run = ctx.product(), ctx.start()
    progress = ctx.d.wait_window("dialog", exclude=[ctx.upgrade()])
    started = time.monotonic()
    if cancel:
        ctx.answer(progress, IDCANCEL)
    ctx.exits(run, allowed=None if cancel else [progress])
    took, limit = time.monotonic() - started, 3 if cancel else ctx.run.stall + 4
    assert took < limit, "ended after %.1f s" % took
    ctx.unchanged()
    eq(ctx.products(), [product], "running products")


def foreign_upgrade_in_staging(ctx, cancel):
    """Another program posts the offer's Upgrade click to the hidden offer while a large package is
    staged (cancel: right behind the user's Cancel, so that one pass of the queue takes both). The
    first download stays the only one: with cancel nothing is installed and the product runs on;
    without, the update completes once and leaves nothing of itself behind."""
    product, run, dlg, progress = staging_started(ctx)
    if cancel:
        ctx.d("post", progress, WM_COMMAND, IDCANCEL, 0, dlg, WM_COMMAND, UPGRADE, 0)
        until(lambda: ctx.d.windows(kind="msgbox") or ctx.d("exitcode", run)["code"] is not None, 60,
              "Update.exe ends or shows a box")
        eq(ctx.d.windows(kind="msgbox"), [], "boxes after the Cancel")
        ctx.exits(run)
        ctx.unchanged()
        eq(ctx.products(), [product], "running products")
    else:
        ctx.d("post", dlg, WM_COMMAND, UPGRADE, 0)
        ctx.answer(ctx.box(MSG_DONE, icon=False))
        ctx.exits(run, allowed=[])
        ctx.updated(dict(NEW_FILES, **BULK))
        eq([p.name for p in pathlib.Path(ctx.inst.dir).glob(".update-*")], [], "work and download folders left")
    eq(ctx.run.server.requests[1:], ["/pkg/" + PACKAGE], "package requests after the manifest's")


PLANTED = ("windows", "temp", "qelda-planted")  # a file of the machine's own, below drive_c


def planted(ctx, data):  # the file at PLANTED in the prefix; its file: address
    path = pathlib.Path(ctx.run.wine.prefix, "drive_c", *PLANTED)
    path.write_bytes(data)
    return "file:///C:/" + "/".join(PLANTED)


def redirected_download(ctx):
    """The package address redirects to a file: address of a valid package on the machine: only
    http(s) is fetched, so what arrives is no package (the box says so) and nothing is installed."""
    target = planted(ctx, make_zip(NEW_FILES))
    ctx.setup("1.0", record(), Reply(status=302, headers=[("Location", target)]))
    product, run = ctx.product(), ctx.start()
    ctx.upgrade()
    ctx.answer(ctx.box(MSG_DAMAGED, icon=True))
    ctx.exits(run)
    ctx.unchanged()
    eq(ctx.products(), [product], "running products")


def delta_update(ctx, edited=False):
    """The manifest offers 2.0 twice: a full package, and a delta package made for 1.0 (the exact match,
    which the updater takes): only the delta is fetched, and its patch rebuilds the changed library from
    the installed one. edited: that library was changed by hand, so the delta does not fit: nothing is
    changed by it, the full package is fetched instead (the progress bar starts again) and installed."""
    core = random.Random(7).randbytes(200000)
    old = dict(OLD_FILES, **{"lib/core.dll": core})
    new = dict(old, **NEW_FILES, **{"lib/core.dll": core[:1000] + b"PATCHED" + core[1007:]})
    programs = ctx.inst.programs
    delta = ctx.make_delta(dict(old, **programs), dict(new, **programs))
    full = make_zip(dict(NEW_FILES, **{"lib/core.dll": new["lib/core.dll"]}))
    offers = Reply(manifest(*[{"OldVer": v, "NewVer": "2.0", "NetUrl": "http://@SERVER@/pkg/" + n, "LocalPath": "",
                               "UpdateInfo": "2.0", "InfoUrl": "", "IsUpdate": "1"}
                              for v, n in (("", PACKAGE), ("1.0", "Qelda-1.0-2.0.zip"))]))
    ctx.setup("1.0", offers, Reply(full, ctype=ZIP), old=dict(old, **({"lib/core.dll": core[::-1]} if edited else {})))
    ctx.run.server.routes["/pkg/Qelda-1.0-2.0.zip"] = Reply(delta, ctype=ZIP)
    run = ctx.start()
    ctx.upgrade(relaunch=False)
    ctx.answer(ctx.box(MSG_DONE, icon=False))
    ctx.exits(run)
    ctx.updated(dict(NEW_FILES, **{"lib/core.dll": new["lib/core.dll"]}))
    eq(ctx.run.server.requests[1:], ["/pkg/Qelda-1.0-2.0.zip"] + (["/pkg/" + PACKAGE] if edited else []),
       "package requests after the manifest's")


def unattended(ctx, hold=False):
    """The Unattended policy: no offer and no box. The update is downloaded and installed with the
    progress dialog alone, and the product, which was running, is started again. hold: a file stays in
    use; after the retry time nothing has changed, and the product is started again all the same."""
    data = make_zip(NEW_FILES)  # sent in two seconds, so that the progress dialog is seen
    ctx.setup("1.0", record(), Reply(data, ctype=ZIP, chunk=len(data) // 20, pause=0.1), policies={"Unattended": 1})
    held = ctx.start('uidriver.exe "%s"' % ctx.inst.win("data/sub/old.dat"), exe=ctx.d.exe) if hold else None
    product, run = ctx.product(), ctx.start()
    progress = ctx.d.wait_window("dialog")
    eq([c["text"] for c in ctx.d("controls", progress)["controls"] if c["id"] == PROGRESS],
       ["Qelda软件正在升级到2.0版本..."], "the one window: the progress dialog")
    ctx.exits(run, allowed=[progress])
    if held:
        ctx.unchanged(staged=None)  # the held file's second name stays in the staging until the next start
        ctx.kill(held)
    else:
        ctx.updated(NEW_FILES)
    running = ctx.products()
    assert len(running) == 1 and product not in running, "the product stopped, then started again: %r" % running


PADDED = SAMPLE.replace(b"<QeldaUpdates", b"<!-- %s -->\n<QeldaUpdates" % (b"x" * len(SAMPLE)), 1)  # no record in half
OVERSIZED = SAMPLE.replace(b"<QeldaUpdates", b"<!-- %s -->\n<QeldaUpdates" % (b"x" * (16 << 20)), 1)  # over 16 MiB
# The version is read into 80 bytes: 39 characters and the zero fit, 40 do not (a box; taken as empty).
LONG39, LONG40 = "1." + "0" * 37, "1." + "0" * 38
STORED, TRAVERSAL = make_zip(NEW_FILES, method=0), make_zip(dict(NEW_FILES, **{"../evil.txt": b"outside"}))

# Only "Update.exe Qelda.exe" (any case) goes on, checked before the registry or the network is touched; the
# rule itself is a table of the native tests, these rows prove what reaches it.
REFUSED_CMDLINES = {"program_alone": '"{exe}"', "trailing_blank": '"{exe}" Qelda.exe '}

SCENARIOS = [
    # name                        shape    exit code  arguments
    ("same_version",              silent,  UP_TO_DATE, dict(version="2.0", reply=record("2.0", "2.0"))),
    ("text_order_1.9_vs_1.10",    silent,  UP_TO_DATE, dict(version="1.9", reply=record("1.9", "1.10"))),
    ("server_down",               silent,  NO_MANIFEST, dict(reply=DOWN, asks=0,
                                                              logged=[("manifest", {"result": "0x8007.*", "records": "0"})])),
    ("server_404_page",           silent,  NO_MANIFEST, dict(reply=NOT_FOUND)),
    ("server_empty_manifest",     silent,  NO_MANIFEST, dict(reply=Reply(b""))),
    ("server_cuts_answer_short",  silent,  NO_MANIFEST, dict(reply=Reply(PADDED, cut=True))),
    ("server_drops_connection",   silent,  NO_MANIFEST, dict(reply=Reply(drop=True), asks=None)),
    ("server_sends_over_16_MiB",  silent,  NO_MANIFEST, dict(reply=Reply(OVERSIZED))),
    ("server_unsized_over_16_MiB", silent, NO_MANIFEST, dict(reply=Reply(OVERSIZED, length=False))),
    ("server_chunked_over_16_MiB", silent, NO_MANIFEST, dict(reply=Reply(OVERSIZED, chunked=True, chunk=1 << 16))),
    ("server_endless_unsized",    silent,  NO_MANIFEST, dict(reply=Reply(SAMPLE, length=False, endless=True))),
    ("server_endless_chunked",    silent,  NO_MANIFEST, dict(reply=Reply(SAMPLE, chunked=True, endless=True))),
    *[("cmdline_" + name, silent, COMMAND_LINE, dict(cmdline=line, asks=0)) for name, line in REFUSED_CMDLINES.items()],
    ("offer_exit_button",         offer,   DECLINED, dict()),
    ("offer_close_box",           offer,   DECLINED, dict(close=("syscommand", SC_CLOSE))),
    ("offer_escape_key",          offer,   DECLINED, dict(close=("key", VK_ESCAPE))),
    ("offer_about_box",           offer,   DECLINED, dict(then=about_box)),
    ("offer_second_instance",     offer,   DECLINED, dict(then=second_instance)),
    ("offer_log_link_web",        log_link, DECLINED, dict(info_url="http://@SERVER@/log?a=1")),
    ("offer_log_link_program",    log_link, DECLINED, dict(info_url=INSTALL_WIN + r"\Qelda.exe")),
    ("offer_log_link_file",       log_link, DECLINED, dict(info_url="file:///C:/Program%20Files/Brenvik/Qelda/Qelda.exe")),
    ("offer_log_link_scheme",     log_link, DECLINED, dict(info_url="qeldalinktest:release-notes")),
    ("offer_upper_case_cmdline",  offer,   DECLINED, dict(cmdline='"{exe}" QELDA.EXE')),
    ("offer_manifest_with_404",   offer,   DECLINED, dict(reply=Reply(SAMPLE, status=404))),
    ("offer_manifest_late",       offer,   DECLINED, dict(reply=Reply(SAMPLE, delay=2.0))),
    ("offer_manifest_unsized",    offer,   DECLINED, dict(reply=Reply(SAMPLE, length=False))),
    ("offer_manifest_chunked",    offer,   DECLINED, dict(reply=Reply(SAMPLE, chunked=True, chunk=100))),
    ("offer_no_registry_value",   offer,   DECLINED, dict(version=NO_VALUE, box=MSG_NO_VALUE, shown="", notes="")),
    ("offer_no_registry_key",     offer,   DECLINED, dict(version=NO_KEY, box=MSG_NO_KEY, shown="", notes="")),
    ("offer_version_39_chars",    offer,   DECLINED, dict(version=LONG39, shown=LONG39, notes="")),
    ("offer_version_40_chars",    offer,   DECLINED, dict(version=LONG40, box=MSG_NO_VALUE, shown="", notes="")),
    ("refused_404_page",          refused, PACKAGE_REFUSED, dict()),
    ("refused_not_a_zip",         refused, PACKAGE_REFUSED, dict(package=Reply(b"PK\3\4 no archive" * 10, ctype=ZIP))),
    ("refused_crc_damaged",       refused, PACKAGE_REFUSED, dict(package=Reply(STORED.replace(b"CONTENT", b"CONTENU"), ctype=ZIP),
                                                              logged=[("package", {"verdict": "refused", "why": "damaged", "reason": ".*CRC.*"})])),
    ("refused_path_traversal",    refused, PACKAGE_REFUSED, dict(package=Reply(TRAVERSAL, ctype=ZIP))),
    ("refused_empty_url",         refused, DOWNLOAD_FAILED, dict(reply=record(net_url=""), text=MSG_URL, icon=False)),
    ("refused_invalid_url",       refused, DOWNLOAD_FAILED, dict(reply=record(net_url="无效的地址 没有协议"), text=MSG_URL, icon=False)),
    ("refused_file_address",      no_download, DOWNLOAD_FAILED, dict(reply=record(net_url="file:///C:/windows/win.ini"))),
    ("refused_unsigned",          refused, PACKAGE_REFUSED, dict(package=Reply(make_zip(NEW_FILES), ctype=ZIP), text=MSG_UNSIGNED,
                                                signed=True)),
    ("refused_forged",            refused, PACKAGE_REFUSED, dict(package="forged", text=MSG_UNSIGNED, signed=True)),
    ("refused_signed_for_1.5",    refused, PACKAGE_REFUSED, dict(package="1.5", text=MSG_UNSIGNED, signed=True)),
    ("update_restarts_product",   update,  UPDATED, dict(logged=[("stop", {"copies": "1"}), ("downtime", {"ms": r"\d+"}),
                                                                   ("restart", {})])),
    ("update_slow_no_restart",    update,  UPDATED, dict(relaunch=False, slow=True)),
    ("update_into_system32",      update,  UPDATED, dict(system=True)),
    ("update_file_in_use",        file_in_use, UP_TO_DATE, dict()),
    ("update_cancelled",          cancel,  DOWNLOAD_FAILED, dict()),
    ("update_cancelled_staging",  cancel,  DOWNLOAD_FAILED, dict(staging=True)),
    ("update_package_named_as_its_file", update, UPDATED, dict(name="readme.txt")),
    ("download_stalls_cancel",    stalled_download, DOWNLOAD_FAILED, dict(cancel=True)),
    ("download_stalls_gives_up",  stalled_download, DOWNLOAD_FAILED, dict(cancel=False)),
    ("update_signed",             update,  UPDATED, dict(signed=True)),
    ("update_of_the_updater",     self_update, PACKAGE_REFUSED, dict()),
    ("killed_in_the_commit",      killed_in_commit, UP_TO_DATE,
                                  dict(logged=[("recovery", {"outcome": "completed", "version": "2.0"})])),
    ("server_never_answers",      stalled_server, DECLINED, dict(reply=Reply(SAMPLE, hang=True))),
    ("server_trickles",           stalled_server, DECLINED, dict(reply=Reply(SAMPLE, chunk=1, pause=1.0))),
    ("keyed_manifest_unsigned",   silent,  NO_MANIFEST, dict(signed=True, signing=None,
                                                              logged=[("manifest", {"signature": "missing"})])),
    ("keyed_manifest_forged",     silent,  NO_MANIFEST, dict(signed=True, signing="forged",
                                                              logged=[("manifest", {"signature": "invalid"})])),
    ("keyed_manifest_expired",    silent,  NO_MANIFEST, dict(signed=True, signing="expired",
                                                              logged=[("manifest", {"signature": "expired"})])),
    ("keyed_manifest_older",      silent,  NO_MANIFEST, dict(signed=True, signing="older",
                                                              logged=[("manifest", {"signature": "older-than-accepted"})])),
    ("policy_updates_disabled",   silent,  DISABLED, dict(policies={"UpdatesDisabled": 1}, asks=0,
                                                           logged=[("policy", {"disabled": "1"})])),
    ("policy_mirror",             offer,   DECLINED, dict(mirror="http://@SERVER@/mirror/updateqelda.xml")),
    ("policy_mirror_not_web",     offer,   DECLINED, dict(mirror="file:///C:/mirror.xml",
                                                           logged=[("policy", {"manifest-url-used": "0"})])),
    ("update_delta",              delta_update, UPDATED, dict()),
    ("update_delta_falls_back",   delta_update, UPDATED, dict(edited=True,
                                                          logged=[("package", {"verdict": "base-mismatch"})])),
    ("policy_unattended",         unattended, UPDATED, dict()),
    ("policy_unattended_in_use",  unattended, FILE_IN_USE, dict(hold=True)),
    ("log_planted_link",          silent,  UP_TO_DATE, dict(version="2.0", reply=record("2.0", "2.0"), plant="link")),
    ("log_planted_open_folder",   silent,  UP_TO_DATE, dict(version="2.0", reply=record("2.0", "2.0"),
                                                             plant="open folder")),
    ("server_trickles_headers",   stalled_server, DECLINED, dict(reply=Reply(SAMPLE, header_trickle=1.0))),
    ("package_redirected_to_file", redirected_download, PACKAGE_REFUSED, dict()),
    ("foreign_upgrade_in_staging", foreign_upgrade_in_staging, UPDATED, dict(cancel=False)),
    ("foreign_upgrade_after_cancel", foreign_upgrade_in_staging, DOWNLOAD_FAILED, dict(cancel=True)),
]


def check_log(ctx, expected, planted):
    """The log of the row's runs ends with its exit code, and holds each (event, {key: regex}) expected;
    where another user planted a link or an open folder, nothing is written there, nor behind the link."""
    lines = ctx.logged()
    if planted:
        eq(lines, [], "log lines written in a planted place")
        elsewhere = pathlib.Path(ctx.run.wine.prefix, "drive_c", "windows", "temp", "elsewhere")
        eq(list(elsewhere.iterdir()) if elsewhere.exists() else [], [], "files written behind the planted link")
        return
    exits = [fields for event, fields in lines if event == "exit"]
    assert exits and exits[-1].get("code") == str(ctx.code), "the log's last exit line: %r" % exits[-1:]
    for event, want in expected:
        assert any(e == event and all(re.fullmatch(v, f.get(k, "")) for k, v in want.items()) for e, f in lines), \
            "no %s line with %r in the log: %r" % (event, want, [l for l in lines if l[0] == event])


def run_one(run, name, shape, code, kw):
    """One row of the table; ends whatever it left running (an Update.exe fails it)."""
    ctx, d, started, error = Ctx(run, name, code), run.driver, time.monotonic(), None  # d: the driver
    run.log("=== " + name)
    logged, kw = kw.get("logged", []), {k: v for k, v in kw.items() if k != "logged"}
    try:
        shape(ctx, **kw)
        check_log(ctx, logged, planted=bool(kw.get("plant")))
    except Exception as e:  # a fault of the harness too fails this scenario only
        error = "%s: %s" % (type(e).__name__, e)
        run.log(traceback.format_exc())
    try:
        if error:
            ctx.shot("failure")
        left = [pid for pid in ctx.started if d("exitcode", pid)["code"] is None]
        for pid in left:
            ctx.kill(pid)
        d("kill", "Qelda.exe")
        until(lambda: not ctx.products(), 10, "the stand-in products have ended")  # before the next lays out its files
        error = error or (left and "a process it started was left running")
    except Exception as e:
        error = error or "cleanup: %s" % e
    if not run.server.httpd:
        run.server.start()
    run.server.requests = []
    print("%s %-28s %5.1f s  %s" % ("FAIL" if error else "PASS", name, time.monotonic() - started, error or ""))
    return not error


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    for opt in ("--build-dir", "--update", "--signed-update", "--tool", "--driver", "--url", "--timeout", "--stall",
                "--delta-tool"):
        p.add_argument(opt, required=True)
    p.add_argument("--only", default="", help="the scenarios whose name matches this regex")
    args = p.parse_args()
    url = re.fullmatch(r"http://127\.0\.0\.1:(\d+)(/.*)", args.url)
    if not url:
        print("e2e: Update.exe was built for %s, not http://127.0.0.1:PORT/..." % args.url)
        return 77
    build, started = os.path.abspath(args.build_dir), time.monotonic()
    run, logs = SimpleNamespace(manifest_path=url[2], shots_dir=os.path.join(build, "e2e-shots")), build + "/e2e-logs"
    for folder in (run.shots_dir, logs):
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
    with open(os.path.join(logs, "e2e.log"), "w", encoding="utf-8", buffering=1) as logfile, ExitStack() as stack:
        run.log = lambda text: logfile.write(text + "\n")
        try:
            run.server = stack.enter_context(Server(int(url[1]), run.log).start())
            wine = stack.enter_context(Wine(os.path.join(build, "wineprefix"), stack.enter_context(Display()), run.log))
            run.driver = stack.enter_context(Driver(wine, args.driver))
            run.wine, run.tool, run.timeout, run.stall = wine, args.tool, float(args.timeout), float(args.stall)
            run.host, run.delta_tool = "127.0.0.1:" + url[1], args.delta_tool
            run.log_dir = pathlib.Path(wine.prefix, "drive_c", "ProgramData", "Brenvik", "Qelda")
            run.log_file = run.log_dir / "Update.log"
            run.signed_updater = pathlib.Path(args.signed_update).read_bytes()
        except (RuntimeError, OSError) as e:
            print("e2e: the run could not start: %s" % e)
            return 2
        run.inst = Installation(wine, args.update, args.driver)
        chosen = [s for s in SCENARIOS if re.search(args.only, s[0])]
        failed = [s[0] for s in chosen if not run_one(run, *s)]
    print("%d passed, %d failed (%.0f s); screenshots in %s"
          % (len(chosen) - len(failed), len(failed), time.monotonic() - started, run.shots_dir))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
