#!/usr/bin/env python3
"""The demo behind scripts/demo: Qelda 1.0 installed in a Wine prefix, a local
update server offering Qelda 2.0 with Chinese release notes, and the real
Update.exe started the way the product starts it (Update.exe Qelda.exe).

On a working X display the windows appear there and the user answers them; the
demo reports what appears and waits until the updater ends. Without one (or
with --xvfb) it runs on a private Xvfb inside a Wine virtual desktop, answers
the windows itself (message boxes with OK, the update dialog with Exit), and
saves screenshots.
"""

import argparse
import io
import os
import shutil
import sys
import time
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import APP_CAPTION, Reply, hwnd  # noqa: E402

REG_KEY = r"HKLM\SOFTWARE\Brenvik\Qelda"
SAMPLE_MANIFEST = os.path.join(harness.ROOT, "tests", "data", "e2e", "updateqelda.xml")
HEADLESS_TIMEOUT = 180.0

CHANGELOG_PAGE = """<!DOCTYPE html>
<html lang="zh-CN"><head><meta charset="utf-8"><title>Qelda 更新日志</title></head>
<body><h1>Qelda 2.0</h1><ul><li>全新的项目视图，支持拖放排序</li>
<li>新增批量导出功能，支持 PDF 与 CSV 格式</li></ul></body></html>
"""


def say(text=""):
    print(text, flush=True)


def package_zip():
    """A small Qelda 2.0 package, made with Python's zipfile."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("version.txt", "2.0\r\n")
        z.writestr("readme.txt", "Qelda 2.0\r\n全新的项目视图，支持拖放排序。\r\n".encode("utf-8"))
    return buf.getvalue()


def describe(driver, window):
    """Prints a window of the updater; returns its kind ('msgbox' or 'dialog')."""
    sel = hwnd(window)
    if window["msgbox"]:
        box = driver.call("msgbox", sel)
        say("  message box  \"%s\": %s   [%s]" % (
            box["caption"], box["text"], ", ".join(b["text"] for b in box["buttons"])))
        return "msgbox"
    controls = driver.controls(sel)
    say("  dialog \"%s\"" % window["caption"])
    for cid, c in sorted(controls.items()):
        if not c["visible"]:
            continue
        text = c["text"].replace("\r\n", "\n")
        lines = text.split("\n") if text else [""]
        extra = ""
        if "check" in c and c["class"].lower() == "button" and cid == 1007:
            extra = "  [%s]" % ("ticked" if c["check"] == 1 else "not ticked")
        say("    %-5s %-10s %s%s" % (cid, c["class"], lines[0], extra))
        for line in lines[1:]:
            say("    %-5s %-10s %s" % ("", "", line))
    return "dialog"


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build-dir", required=True)
    p.add_argument("--update", required=True)
    p.add_argument("--driver", required=True)
    p.add_argument("--url", required=True, help="manifest URL compiled into Update.exe")
    p.add_argument("--installed", default="1.0", help="installed Qelda version (default 1.0)")
    p.add_argument("--xvfb", action="store_true", help="run headless even when DISPLAY works")
    args = p.parse_args()

    parsed = harness.parse_manifest_url(args.url)
    if parsed is None:
        say("demo: Update.exe was built for %s, not a loopback address" % args.url)
        return 2
    host, port, manifest_path = parsed
    build = os.path.abspath(args.build_dir)
    shots = os.path.join(build, "shots")
    shutil.rmtree(shots, ignore_errors=True)
    os.makedirs(shots)
    log = open(os.path.join(build, "demo.log"), "w", encoding="utf-8")

    server = harness.UpdateServer(port, log=log)
    display = session = driver = None
    try:
        server.start()
    except harness.PortBusy as e:
        say("demo: " + str(e))
        return 2
    try:
        base = "127.0.0.1:%d" % port
        with open(SAMPLE_MANIFEST, encoding="utf-8") as f:
            manifest = f.read().replace("@SERVER@", base).encode("utf-8")
        server.set(manifest_path, Reply.manifest(manifest))
        server.set("/client/changelog.html",
                   Reply(body=CHANGELOG_PAGE, content_type="text/html; charset=utf-8"))
        pkg = package_zip()
        for name in ("qelda-2.0-full.zip", "qelda-1.0-to-2.0.zip", "qelda-1.5-to-2.0.zip"):
            server.set("/client/packages/" + name, Reply(body=pkg, content_type="application/zip"))
        say("update server:  http://%s%s (Qelda 2.0 offered)" % (base, manifest_path))

        interactive = not args.xvfb and harness.display_works(os.environ.get("DISPLAY"))
        display = harness.Display(use_existing=None if args.xvfb else os.environ.get("DISPLAY"))
        display.start()
        say("display:        %s (%s)" % (display.name, "yours: answer the windows yourself"
                                          if interactive else
                                          "private Xvfb: the demo answers the windows"))

        session = harness.WineSession(os.path.join(build, "wineprefix"), display, log=log,
                                      virtual_desktop=not interactive)
        session.kill_all()
        say("Wine prefix:    %s (first use takes a minute)" % session.prefix)
        session.prepare()
        install = os.path.join(session.prefix, "drive_c", "Program Files", "Brenvik", "Qelda")
        os.makedirs(install, exist_ok=True)
        shutil.copy2(args.update, os.path.join(install, "Update.exe"))
        driver = harness.Driver(session, args.driver, log=log).start()
        driver.call("reg_set", REG_KEY, "version", args.installed)
        say("installed:      Qelda %s in C:\\Program Files\\Brenvik\\Qelda "
            "(HKLM\\SOFTWARE\\Brenvik\\Qelda version=%s)" % (args.installed, args.installed))
        say()
        say("$ wine64 Update.exe Qelda.exe")
        proc = session.popen(["Update.exe", "Qelda.exe"], cwd=install, stdout=log, stderr=log)

        seen = set()
        shot_no = 0
        deadline = time.monotonic() + HEADLESS_TIMEOUT
        while proc.poll() is None:
            for w in driver.windows(APP_CAPTION):
                if w["hwnd"] in seen:
                    continue
                seen.add(w["hwnd"])
                kind = describe(driver, w)
                if interactive:
                    say("  (waiting for you to answer it)")
                    continue
                shot_no += 1
                path = os.path.join(shots, "%02d-%s.png" % (shot_no, kind))
                if driver.screenshot(path) or display.screenshot(path):
                    say("  screenshot: " + path)
                if kind == "msgbox":
                    say("  -> OK")
                    driver.call("answer", hwnd(w), 1)
                else:
                    say("  -> Exit (退出)")
                    driver.call("click", hwnd(w), 1004)
            if not interactive and time.monotonic() > deadline:
                say("demo: Update.exe did not end within %.0f s; stopping it" % HEADLESS_TIMEOUT)
                proc.kill()
                proc.wait()
                return 1
            time.sleep(0.2)

        say()
        say("Update.exe ended (exit code %d)." % proc.returncode)
        for r in server.log_of():
            say("  server saw: %s %s" % (r["method"], r["raw"]))
        if not seen:
            say("  It showed nothing: no newer version was offered for %s." % args.installed)
        reg = driver.call("reg_get", REG_KEY, "version")
        say("  installed version now: %s" % (reg.get("data") if reg["exists"] else "(none)"))
        if not interactive:
            say("  screenshots: %s" % shots)
        return 0
    except harness.HarnessError as e:
        say("demo: %s" % e)
        return 1
    finally:
        if driver is not None:
            driver.stop()
        if session is not None:
            session.kill_all()
        if display is not None:
            display.stop()
        server.stop()
        log.close()


if __name__ == "__main__":
    sys.exit(main())
