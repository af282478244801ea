#!/usr/bin/env python3
"""How long the product is down during an update: the real Update.exe under Wine installs a package of 1,500
changed files over a running product. For today's updater, two figures: the downtime its log reports (from the
stop of the product to the last file in place), and the time from the end of the product's process to the success
box, measured from outside. Beside them, in the same run, the same outside figure for the updater as it was before
the product was waited for only as long as needed and the commit flushed once (an older commit of this project,
built once and cached): stop, two seconds, a commit that writes every rename through.

Prints figures; asserts nothing about time."""

import argparse
import os
import pathlib
import re
import statistics
import subprocess
import sys
import time
from contextlib import ExitStack

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from harness import (REG_KEY, ROOT, Display, Driver, Installation, Reply, Server, Wine,  # noqa: E402
                     make_zip, until)

UPGRADE, RELAUNCH = 1003, 1007
FILES = 1500


def build(commit, build_dir, url):
    """Update.exe of `commit` (HEAD: this tree), built with the win64 preset for `url`; cached."""
    exe = pathlib.Path(build_dir, "Update.exe")
    if exe.exists() and commit != "HEAD":
        return exe
    source = ROOT
    if commit != "HEAD":
        source = os.path.join(build_dir, "src")
        if not os.path.exists(source):
            subprocess.run(["git", "-C", ROOT, "worktree", "add", "--detach", source, commit], check=True,
                           capture_output=True)
    subprocess.run(["cmake", "--preset", "win64", "-S", source, "-B", build_dir, "-DUPDATE_TESTS=OFF",
                    "-DUPDATE_MANIFEST_URL=" + url], check=True, capture_output=True)
    subprocess.run(["cmake", "--build", build_dir, "-j2", "--target", "Update"], check=True, capture_output=True)
    return exe


def one_update(run, updater):
    """One update with `updater`; (outside seconds, the log's downtime in seconds or None)."""
    inst = Installation(run.wine, updater, run.driver_exe)
    inst.lay_out({"bulk/%04d.txt" % i: b"old %d\r\n" % i for i in range(FILES)})
    d = run.driver
    d("reg_set", REG_KEY, "version", "1.0")
    log = pathlib.Path(run.wine.prefix, "drive_c", "ProgramData", "Brenvik", "Qelda", "Update.log")
    size = log.stat().st_size if log.exists() else 0
    product = d("start", inst.win("Qelda.exe"), "Qelda.exe")["pid"]
    update = d("start", inst.win("Update.exe"), '"%s" Qelda.exe' % inst.win("Update.exe"))["pid"]
    dlg = d.wait_window("dialog")
    d("click", dlg, RELAUNCH)
    d("click", dlg, UPGRADE)
    until(lambda: d("exitcode", product)["code"] is not None, 120, "the product is stopped")
    stopped = time.monotonic()
    box = d.wait_window("msgbox", seconds=120)
    outside = time.monotonic() - stopped
    d("click", box, 1)
    until(lambda: d("exitcode", update)["code"] is not None, 60, "the updater ends")
    lines = log.read_bytes()[size:].decode() if log.exists() else ""
    logged = re.findall(r" downtime ms=(\d+)", lines)
    return outside, int(logged[-1]) / 1000 if logged else None


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--work", required=True, help="a folder for the builds and the Wine prefix")
    p.add_argument("--driver", required=True, help="uidriver.exe")
    p.add_argument("--before", default="45349ed", help="the older commit to compare with")
    p.add_argument("--runs", type=int, default=3)
    p.add_argument("--port", type=int, default=48650)
    args = p.parse_args()
    url = "http://127.0.0.1:%d/client/updateqelda.xml" % args.port
    work = os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    updaters = {"today": build("HEAD", os.path.join(work, "today"), url),
                "before (%s)" % args.before: build(args.before, os.path.join(work, "before"), url)}
    manifest = ('<?xml version="1.0" encoding="UTF-8"?><QeldaUpdates><Update><OldVer>1.0</OldVer><NewVer>2.0</NewVer>'
                '<NetUrl>http://127.0.0.1:%d/pkg/qelda.zip</NetUrl><LocalPath></LocalPath><UpdateInfo>2.0'
                '</UpdateInfo><InfoUrl></InfoUrl><IsUpdate>1</IsUpdate></Update></QeldaUpdates>' % args.port).encode()
    package = make_zip({"bulk/%04d.txt" % i: b"new %d\r\n" % i for i in range(FILES)})
    results = {}
    with ExitStack() as stack:
        logged = []
        server = stack.enter_context(Server(args.port, logged.append).start())
        server.routes = {"/client/updateqelda.xml": Reply(manifest),
                         "/pkg/qelda.zip": Reply(package, ctype="application/zip")}
        wine = stack.enter_context(Wine(os.path.join(work, "wineprefix"), stack.enter_context(Display()),
                                        logged.append))
        run = type("Run", (), {})()
        run.wine, run.driver_exe = wine, args.driver
        run.driver = stack.enter_context(Driver(wine, args.driver))
        for name, updater in updaters.items():
            results[name] = [one_update(run, updater) for _ in range(args.runs)]
            server.requests.clear()
    print("--- summary: product downtime, %d files, median of %d runs (Wine)" % (FILES, args.runs))
    for name, runs in results.items():
        outside = statistics.median(r[0] for r in runs)
        inside = [r[1] for r in runs if r[1] is not None]
        print("%-22s product ended -> success box %6.2f s%s" % (
            name, outside, "   log: stop -> last file in place %5.2f s" % statistics.median(inside) if inside else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
