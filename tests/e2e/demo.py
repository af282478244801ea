#!/usr/bin/env python3
"""The demo behind scripts/demo: Qelda 1.0 installed in a Wine prefix (a
stand-in Qelda.exe running, data files in subfolders), a local update server
offering Qelda 2.0 with Chinese release notes and a package, and the real
Update.exe started the way the product starts it (Update.exe Qelda.exe) from
the product's folder.

On a working X display the windows appear there and the user answers them; the
demo reports what appears and, when the updater has ended, what it did: files
replaced and added, the recorded version, the package removed, the product
started again. Without a display (or with --xvfb) it runs on a private Xvfb
inside a Wine virtual desktop and goes through the whole update itself (Upgrade,
progress, OK), saving screenshots.
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


INSTALLED_FILES = {
    "version.txt": b"1.0\r\n",
    "readme.txt": "Qelda 1.0\r\n".encode("utf-8"),
    "data/templates/default.tpl": b"template 1.0\r\n",
    "data/user.cfg": b"kept: not in the package\r\n",
}


def package_zip(product_exe):
    """The Qelda 2.0 package, made with Python's zipfile: the program, changed
    files and new ones in subfolders."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("Qelda.exe", product_exe)
        z.writestr("version.txt", "2.0\r\n")
        z.writestr("readme.txt", "Qelda 2.0\r\n全新的项目视图，支持拖放排序。\r\n".encode("utf-8"))
        z.writestr("data/templates/default.tpl", "template 2.0\r\n")
        z.writestr("data/templates/export-pdf.tpl", "新增：PDF 导出模板\r\n".encode("utf-8"))
        z.writestr("plugins/csv/export.txt", "新增：CSV 导出\r\n".encode("utf-8"))
    return buf.getvalue()


def tree(root):
    """Relative path -> (size, digest) of every file below root."""
    import hashlib
    out = {}
    for d, _, names in os.walk(root):
        for n in names:
            path = os.path.join(d, n)
            with open(path, "rb") as f:
                data = f.read()
            out[os.path.relpath(path, root).replace(os.sep, "\\")] = (
                len(data), hashlib.sha256(data).hexdigest())
    return out


def product_pids(driver):
    return sorted(p["pid"] for p in driver.processes("Qelda.exe") if p["exe"] == "Qelda.exe")


def describe(driver, window):
    """Prints a window of the updater; returns its kind ('msgbox', 'offer' or
    'progress')."""
    sel = hwnd(window)
    if window["msgbox"]:
        box = driver.call("msgbox", sel)
        say("  message box  \"%s\": %s   [%s]" % (
            box["caption"], box["text"], ", ".join(b["text"] for b in box["buttons"])))
        return "msgbox"
    controls = driver.controls(sel)
    say("  dialog \"%s\"" % window["caption"])
    kind = "offer" if 1003 in controls else "progress"
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
    return kind


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
        with open(args.driver, "rb") as f:
            # Bytes after the image mark the new program; Windows ignores them.
            pkg = package_zip(f.read() + b"\0Qelda 2.0\0")
        # Sent slowly (about four seconds) so that the progress bar can be seen.
        slow = dict(chunk=max(1, len(pkg) // 40), pause=0.1)
        for name in ("qelda-2.0-full.zip", "qelda-1.0-to-2.0.zip", "qelda-1.5-to-2.0.zip"):
            server.set("/client/packages/" + name, Reply.package(pkg, **slow))
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
        install_win = "C:\\Program Files\\Brenvik\\Qelda"
        driver = harness.Driver(session, args.driver, log=log).start()
        driver.call("kill", "Qelda.exe", check=False)
        shutil.rmtree(install, ignore_errors=True)
        os.makedirs(install)
        shutil.copy2(args.update, os.path.join(install, "Update.exe"))
        # The UI driver idles when started under another name without
        # arguments: it stands in for the running product.
        shutil.copy2(args.driver, os.path.join(install, "Qelda.exe"))
        for name, data in INSTALLED_FILES.items():
            path = os.path.join(install, *name.split("/"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        before = tree(install)
        driver.call("reg_set", REG_KEY, "version", args.installed)
        product = driver.call("start", install_win + "\\Qelda.exe")["pid"]
        say("installed:      Qelda %s in %s "
            "(HKLM\\SOFTWARE\\Brenvik\\Qelda version=%s)" % (args.installed, install_win,
                                                              args.installed))
        for name in sorted(before):
            say("                  %s" % name)
        say("running:        Qelda.exe (process %d)" % product)
        say()
        say("$ wine64 Update.exe Qelda.exe   (in %s)" % install_win)
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
                elif kind == "offer":
                    say("  -> Upgrade (升级)")
                    driver.call("click", hwnd(w), 1003)
                else:
                    # The progress dialog: a few pictures while the package arrives.
                    for _ in range(3):
                        time.sleep(1.0)
                        if not driver.call("window", hwnd(w), check=False).get(
                                "window", {}).get("visible"):
                            break
                        shot_no += 1
                        path = os.path.join(shots, "%02d-progress.png" % shot_no)
                        if driver.screenshot(path, hwnd(w)):
                            say("  screenshot: " + path)
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
        after = tree(install)
        for name in sorted(set(before) | set(after)):
            if name not in after:
                state = "removed"
            elif name not in before:
                state = "added"
            elif before[name] != after[name]:
                state = "replaced"
            else:
                state = "unchanged"
            say("  %-9s %s" % (state, name))
        left = [n for n in after if n.lower().endswith(".zip")]
        say("  package: %s" % ("left behind: " + ", ".join(left) if left
                               else "removed after the installation"))
        time.sleep(1.0)
        pids = product_pids(driver)
        if product in pids:
            say("  Qelda.exe: the copy that was running still runs")
        elif pids:
            say("  Qelda.exe: the running copy was stopped and started again (process %s)"
                % ", ".join(str(p) for p in pids))
        else:
            say("  Qelda.exe: the running copy was stopped; not started again")
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
