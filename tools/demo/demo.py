#!/usr/bin/env python3
"""The demo behind scripts/demo: Qelda 1.0 installed in a Wine prefix (a
stand-in Qelda.exe running, data files in subfolders), a local update server
offering Qelda 2.0 with Chinese release notes and a package signed with the
publisher's key, and the real Update.exe (built with that key, so that it
installs only what the key signed) started the way the product starts it
(Update.exe Qelda.exe) from the product's folder.

On a working X display the windows appear there and the user answers them;
the demo reports what appears and, when the updater has ended, what it did:
files replaced and added, the recorded version, the package removed, the
product started again. Without a display (or with --xvfb) it runs on a private
Xvfb inside a Wine virtual desktop and goes through the whole update itself
(Upgrade, progress, OK), saving screenshots.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import time
from contextlib import ExitStack
from types import SimpleNamespace

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
from harness import (CAPTION, REG_KEY, WINE64, Display, Driver, Installation, Reply, Server, Wine,  # noqa: E402
                     make_zip, windows_path)

SAMPLE_MANIFEST = os.path.join(ROOT, "tests", "data", "e2e", "updateqelda.xml")
HEADLESS_TIMEOUT = 180.0
IDOK, IDC_UPGRADE, IDC_RELAUNCH = 1, 1003, 1007

CHANGELOG_PAGE = """<!DOCTYPE html>
<html lang="zh-CN"><head><meta charset="utf-8"><title>Qelda 更新日志</title></head>
<body><h1>Qelda 2.0</h1><ul><li>全新的项目视图，支持拖放排序</li>
<li>新增批量导出功能，支持 PDF 与 CSV 格式</li></ul></body></html>
""".encode()

INSTALLED_FILES = {
    "version.txt": b"1.0\r\n",
    "readme.txt": b"Qelda 1.0\r\n",
    "data/templates/default.tpl": b"template 1.0\r\n",
    "data/user.cfg": b"kept: not in the package\r\n",
}


def say(text=""):
    print(text, flush=True)


def package(product_exe):
    """The files of the Qelda 2.0 package: the program, changed files and new ones in subfolders."""
    return ({
        "Qelda.exe": product_exe,
        "version.txt": b"2.0\r\n",
        "readme.txt": "Qelda 2.0\r\n全新的项目视图，支持拖放排序。\r\n".encode(),
        "data/templates/default.tpl": b"template 2.0\r\n",
        "data/templates/export-pdf.tpl": "新增：PDF 导出模板\r\n".encode(),
        "plugins/csv/export.txt": "新增：CSV 导出\r\n".encode(),
    })


def sign(wine, tool, key, data, path):
    """A package signed for 2.0 by update-tool, as the publisher signs it before uploading."""
    with open(path, "wb") as f:
        f.write(data)
    subprocess.run([WINE64, tool, "sign", "--key", windows_path(key), "--version", "2.0", windows_path(path)],
                   env=wine.env, check=True, capture_output=True)
    with open(path, "rb") as f:
        return f.read()


def make_delta(tool, old, new, work):
    """The delta package from the `old` tree to the `new` one, made by the native update-tool."""
    shutil.rmtree(work, ignore_errors=True)
    for side, files in (("old", old), ("new", new)):
        for name, data in files.items():
            os.makedirs(os.path.dirname(os.path.join(work, side, name)), exist_ok=True)
            with open(os.path.join(work, side, name), "wb") as f:
                f.write(data)
    out = os.path.join(work, "delta.zip")
    subprocess.run([tool, "delta", os.path.join(work, "old"), os.path.join(work, "new"), out], check=True,
                   capture_output=True)
    with open(out, "rb") as f:
        return f.read()


def sign_manifest(wine, tool, key, data, path):
    """The manifest signed for 30 days by update-tool, as the publisher signs it before uploading."""
    with open(path, "wb") as f:
        f.write(data)
    subprocess.run([WINE64, tool, "sign-manifest", "--key", windows_path(key), "--valid-days", "30",
                    windows_path(path)], env=wine.env, check=True, capture_output=True)
    say("manifest:       updateqelda.xml, signed for 30 days with the same key (update-tool sign-manifest)")
    with open(path, "rb") as f:
        return f.read()


def describe(driver, window, kind):
    """Prints a window of the updater; returns 'msgbox', 'offer' or 'progress'."""
    answer = driver("controls", window)
    controls = [c for c in answer["controls"] if c["visible"]]
    if kind == "msgbox":
        text = [c["text"] for c in controls if c["id"] & 0xFFFF == 0xFFFF]
        buttons = [c["text"] for c in controls if c["class"] == "Button"]
        say("  message box  \"%s\": %s   [%s]" % (CAPTION, " ".join(text), ", ".join(buttons)))
        return kind
    say("  dialog \"%s\"" % CAPTION)
    for c in sorted(controls, key=lambda c: c["id"]):
        lines = c["text"].replace("\r\n", "\n").split("\n")
        extra = ("  [%s]" % ("ticked" if c["check"] else "not ticked")) if c["id"] == IDC_RELAUNCH else ""
        say("    %-5s %-10s %s%s" % (c["id"], c["class"], lines[0], extra))
        for line in lines[1:]:
            say("    %-5s %-10s %s" % ("", "", line))
    return "offer" if any(c["id"] == IDC_UPGRADE for c in controls) else "progress"


def report(driver, inst, before, product, installed, server, log_file, log_size, code):
    say("  server saw: " + ", ".join(server.requests))
    fetched = [r.rsplit("/", 1)[1] for r in server.requests if "/packages/" in r]
    say("  package fetched: %s" % (", then ".join(
        "%s (%s)" % (n, "the delta package for 1.0" if "-to-" in n and n.startswith("qelda-1.0") else "a full package")
        for n in fetched) or "none"))
    reg = driver("reg_get", REG_KEY, "version")["value"]
    version = bytes.fromhex(reg).decode("utf-16-le").rstrip("\0") if reg else "(none)"
    say("  installed version now: %s (was %s)" % (version, installed))
    after = inst.files()
    for name in sorted(set(before) | set(after)):
        state = ("removed" if name not in after else "added" if name not in before
                 else "replaced" if before[name] != after[name] else "unchanged")
        say("  %-9s %s" % (state, name))
    left = [n for n in after if n.lower().endswith(".zip")]
    say("  package: %s" % ("left behind: " + ", ".join(left) if left else "removed after the installation"))
    pids = driver("processes", "Qelda.exe")["pids"]
    if product in pids:
        say("  Qelda.exe: the copy that was running still runs")
    elif pids:
        say("  Qelda.exe: the running copy was stopped and started again (process %s)" % pids[0])
    else:
        say("  Qelda.exe: the running copy was stopped; not started again")
    if os.path.exists(log_file):
        with open(log_file, "rb") as f:
            f.seek(log_size)
            say("  the updater's log (%s):" % windows_path(log_file).replace("Z:", ""))
            for line in f.read().decode("utf-8", "replace").splitlines():
                say("    " + line)
    return version


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    for opt in ("--build-dir", "--update", "--driver", "--tool", "--key", "--url", "--delta-tool"):
        p.add_argument(opt, required=True)
    p.add_argument("--installed", default="1.0", help="installed Qelda version (default 1.0)")
    p.add_argument("--xvfb", action="store_true", help="run headless even when DISPLAY works")
    args = p.parse_args()
    url = re.fullmatch(r"http://127\.0\.0\.1:(\d+)(/.*)", args.url)
    if not url:
        say("demo: Update.exe was built for %s, not a loopback address" % args.url)
        return 2
    build = os.path.abspath(args.build_dir)
    shots = os.path.join(build, "shots")
    shutil.rmtree(shots, ignore_errors=True)
    os.makedirs(shots)
    with open(os.path.join(build, "demo.log"), "w", encoding="utf-8", buffering=1) as logfile, ExitStack() as stack:
        def log(text):
            logfile.write(text + "\n")
        try:
            server = stack.enter_context(Server(int(url[1]), log).start())
            interactive = not args.xvfb and subprocess.run(["xdpyinfo"], capture_output=True).returncode == 0
            display = SimpleNamespace(name=os.environ["DISPLAY"]) if interactive else stack.enter_context(Display())
            say("display:        %s (%s)" % (display.name, "yours: answer the windows yourself" if interactive
                                            else "private Xvfb: the demo answers the windows"))
            say("Wine prefix:    %s/wineprefix (its first use takes a minute)" % build)
            wine = stack.enter_context(Wine(os.path.join(build, "wineprefix"), display, log,
                                            desktop=not interactive))
            driver = stack.enter_context(Driver(wine, args.driver))
        except (RuntimeError, OSError) as e:
            say("demo: %s" % e)
            return 2

        with open(SAMPLE_MANIFEST, "rb") as f:  # signed as it is served
            text = f.read().replace(b"@SERVER@", b"127.0.0.1:" + url[1].encode())
        server.routes[url[2]] = Reply(sign_manifest(wine, args.tool, args.key, text,
                                                    os.path.join(build, "updateqelda.xml")))
        server.routes["/client/changelog.html"] = Reply(CHANGELOG_PAGE, ctype="text/html; charset=utf-8")
        inst = Installation(wine, args.update, args.driver)
        files = package(inst.programs["Qelda.exe"] + b"\0Qelda 2.0\0")  # Windows ignores the tail
        pkg = sign(wine, args.tool, args.key, make_zip(files), os.path.join(build, "qelda-2.0.zip"))
        installed = dict(INSTALLED_FILES, **inst.programs)
        delta = sign(wine, args.tool, args.key,
                     make_delta(args.delta_tool, installed, dict(installed, **files), os.path.join(build, "delta")),
                     os.path.join(build, "qelda-1.0-to-2.0.zip"))
        say("packages:       qelda-2.0-full.zip (%d bytes, for any version) and qelda-1.0-to-2.0.zip (a delta of %d "
            "bytes, for 1.0), signed for Qelda 2.0 with the demo's own key (update-tool delta, sign)"
            % (len(pkg), len(delta)))
        for name, data in (("qelda-2.0-full.zip", pkg), ("qelda-1.0-to-2.0.zip", delta), ("qelda-1.5-to-2.0.zip", pkg)):
            # Sent slowly (about four seconds) so that the progress bar can be seen.
            server.routes["/client/packages/" + name] = Reply(data, ctype="application/zip",
                                                               chunk=max(len(data) // 40, 1), pause=0.1)
        say("update server:  http://127.0.0.1:%s%s (Qelda 2.0 offered)" % (url[1], url[2]))

        inst.lay_out(INSTALLED_FILES)
        before = inst.files()
        driver("reg_set", REG_KEY, "version", args.installed)
        product = driver("start", inst.win("Qelda.exe"), "Qelda.exe")["pid"]
        say("installed:      Qelda %s in %s (HKLM\\%s version=%s)"
            % (args.installed, inst.win(""), REG_KEY, args.installed))
        for name in sorted(before):
            say("                  " + name)
        say("running:        Qelda.exe (process %d)\n" % product)
        say("$ Update.exe Qelda.exe   (in %s)" % inst.win(""))
        log_file = os.path.join(wine.prefix, "drive_c", "ProgramData", "Brenvik", "Qelda", "Update.log")
        log_size = os.path.getsize(log_file) if os.path.exists(log_file) else 0
        update = driver("start", inst.win("Update.exe"), "Update.exe Qelda.exe")["pid"]

        seen, deadline = set(), time.monotonic() + HEADLESS_TIMEOUT
        while driver("exitcode", update)["code"] is None:
            for w in driver("windows", CAPTION)["windows"]:
                if w["hwnd"] in seen:
                    continue
                seen.add(w["hwnd"])
                kind = describe(driver, w["hwnd"], w["kind"])
                if interactive:
                    say("  (waiting for you to answer it)")
                    continue
                say("  screenshot: " + driver.screenshot(os.path.join(shots, "%02d-%s.png" % (len(seen), kind))))
                if kind == "msgbox":
                    say("  -> OK")
                    driver("click", w["hwnd"], IDOK)
                elif kind == "offer":
                    say("  -> Upgrade (升级)")
                    driver("click", w["hwnd"], IDC_UPGRADE)
                else:  # a few pictures of the progress dialog while the package arrives
                    for n in range(3):
                        time.sleep(1.0)
                        if w["hwnd"] not in driver.windows():
                            break
                        path = os.path.join(shots, "%02d-progress-%d.png" % (len(seen), n + 1))
                        say("  screenshot: " + driver.screenshot(path, w["hwnd"]))
            if not interactive and time.monotonic() > deadline:
                say("demo: Update.exe did not end within %.0f s; stopping it" % HEADLESS_TIMEOUT)
                return 1
            time.sleep(0.2)

        code = driver("exitcode", update)["code"]
        say("\nUpdate.exe ended (exit code %d)." % code)
        if not seen:
            say("  It showed nothing: no newer version was offered for %s." % args.installed)
        version = report(driver, inst, before, product, args.installed, server, log_file, log_size, code)
        if interactive:
            return 0
        say("  screenshots: %s" % shots)
        return 0 if version == "2.0" else 1  # headless, the demo itself chose Upgrade


if __name__ == "__main__":
    sys.exit(main())
