#!/usr/bin/env python3
"""Delta packages: `update-tool delta` against bsdiff, xdelta3 -9 and
zstd --ultra -22 --long --patch-from, on real data, side by side.

1. The project's own Update.exe built from two commits far apart: the first
   complete updater and today's HEAD, each cross-built once with the win64
   preset in a temporary worktree and cached under build/delta-bench.
2. A generated tree of about 150 MB (the archive benchmark's) in which 1 % of
   the files changed, a few percent of each (cached in the work folder).

For each: the full package (zip -6), our delta package and the patches in it,
each peer's patches for the same changed files (summed), and the times to
build and to apply, with MB/s over the bytes the new files hold. Ours is
applied as the updater applies it, with `update-tool extract` over a copy of
the old files (staged files flushed, the commit journaled), and the result is
compared with the new tree. Summary lines: `<data> vs <peer>` (our patches'
bytes divided by the peer's, so below 1 means smaller) and `<data> vs smallest
peer`. Nothing is asserted of the figures.
"""
import argparse
import filecmp
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from archive_bench import make_tree  # noqa: E402

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
# The first commit whose Update.exe does the whole job: offer, download, install.
FIRST_UPDATER = "80fec46ead6a9e7cb77c7d67426cf2bf37ca6f71"


def git(*args):
    return subprocess.run(["git", "-C", ROOT, *args], check=True, capture_output=True, text=True).stdout.strip()


def updater_exe(commit, cache):
    """Update.exe of `commit`, built once with the win64 preset and cached."""
    commit = git("rev-parse", commit)
    exe = os.path.join(cache, f"Update-{commit[:12]}.exe")
    if os.path.exists(exe):
        return exe
    os.makedirs(cache, exist_ok=True)
    src = tempfile.mkdtemp(prefix="qelda-bench-")
    print(f"building Update.exe of {commit[:12]} ...", flush=True)
    try:
        git("worktree", "add", "--detach", src, commit)
        subprocess.run(["cmake", "--preset", "win64", "-DUPDATE_TESTS=OFF"], cwd=src, check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", "--preset", "win64", "--target", "Update", "-j2"], cwd=src, check=True,
                       stdout=subprocess.DEVNULL)
        shutil.copyfile(os.path.join(src, "build", "win64", "Update.exe"), exe)
    finally:
        git("worktree", "remove", "--force", src)
        shutil.rmtree(src, ignore_errors=True)
    return exe


def change(data, rng):
    """A few percent of the bytes changed in runs, and some inserted."""
    data = bytearray(data)
    for _ in range(max(1, len(data) // 20000)):
        at = rng.randrange(len(data))
        run = rng.randrange(1, 64)
        data[at:at + run] = rng.randbytes(run)
    at = rng.randrange(len(data) + 1)
    data[at:at] = rng.randbytes(rng.randrange(16, 4096))
    return bytes(data)


def files_of(root):
    out = []
    for dirpath, _, names in os.walk(root):
        for name in names:
            out.append(os.path.relpath(os.path.join(dirpath, name), root))
    return sorted(out)


def make_trees(work):
    """old/ and new/: the generated tree, and a copy with 1 % of its files changed."""
    old, new = os.path.join(work, "old"), os.path.join(work, "new")
    done = os.path.join(work, "trees.done")
    if not os.path.exists(done):
        for d in (old, new):
            shutil.rmtree(d, ignore_errors=True)
        print("making the trees ...", flush=True)
        make_tree(old, random.Random(20261206))
        shutil.copytree(old, new)
        rng = random.Random(7)
        for rel in files_of(new)[::100]:
            path = os.path.join(new, rel)
            with open(path, "rb") as f:
                data = f.read()
            with open(path, "wb") as f:
                f.write(change(data, rng))
        open(done, "w").close()
    changed = [rel for rel in files_of(new) if not filecmp.cmp(os.path.join(old, rel), os.path.join(new, rel), False)]
    return old, new, changed


def timed(cmd, runs, prepare=None):
    times = []
    for _ in range(runs):
        if prepare:
            prepare()
        start = time.perf_counter()
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


PEERS = {
    "bsdiff": (lambda o, n, p: ["bsdiff", o, n, p], lambda o, p, n: ["bspatch", o, n, p]),
    "xdelta3 -9": (lambda o, n, p: ["xdelta3", "-9", "-e", "-f", "-s", o, n, p],
                   lambda o, p, n: ["xdelta3", "-d", "-f", "-s", o, p, n]),
    "zstd -22 --long": (lambda o, n, p: ["zstd", "-q", "-f", "--ultra", "-22", "--long", f"--patch-from={o}", n,
                                         "-o", p],
                        lambda o, p, n: ["zstd", "-q", "-f", "-d", "--long", f"--patch-from={o}", p, "-o", n]),
}


def measure(name, tool, old, new, changed, work, runs):
    """Prints one data set's figures; returns the summary lines."""
    size = sum(os.path.getsize(os.path.join(new, rel)) for rel in files_of(new))
    changed_bytes = sum(os.path.getsize(os.path.join(new, rel)) for rel in changed)
    full = os.path.join(work, f"{name}-full.zip")
    if os.path.exists(full):
        os.remove(full)
    subprocess.run(["zip", "-q", "-r", "-6", full, "."], cwd=new, check=True)
    delta = os.path.join(work, f"{name}-delta.zip")
    build = timed([tool, "delta", old, new, delta], runs)
    described = json.loads(subprocess.run([tool, "package", "--json", delta], check=True, capture_output=True).stdout)
    ours = described["delta"]["patchBytes"]
    app = os.path.join(work, f"{name}-app")

    def fresh_copy():
        shutil.rmtree(app, ignore_errors=True)
        shutil.copytree(old, app)
        os.sync()  # the copy's writes are not the extraction's to flush
    apply = timed([tool, "extract", delta, app], runs, fresh_copy)
    fresh_copy()
    subprocess.run([tool, "extract", delta, app], check=True)
    if files_of(app) != files_of(new) or any(not filecmp.cmp(os.path.join(app, r), os.path.join(new, r), False)
                                             for r in changed):
        print(f"MISMATCH: {name}: the delta did not make the new files", file=sys.stderr)
        sys.exit(1)
    shutil.rmtree(app)

    mb = changed_bytes / 1e6
    print(f"\n{name}: {len(changed)} of {len(files_of(new))} files changed, {changed_bytes / 1e6:.1f} of "
          f"{size / 1e6:.1f} MB")
    print(f"  {'':24s} {'bytes':>12s} {'build':>9s} {'MB/s':>8s} {'apply':>9s} {'MB/s':>8s}")
    print(f"  {'full package (zip -6)':24s} {os.path.getsize(full):12d}")
    print(f"  {'update-tool delta':24s} {os.path.getsize(delta):12d} {build:8.2f}s {mb / build:8.1f} "
          f"{apply:8.2f}s {mb / apply:8.1f}")
    print(f"  {'  its patches':24s} {ours:12d}   ({len(described['delta']['patched'])} patched, "
          f"{described['delta']['wholeFiles']} whole, {described['delta']['wholeBytes']} bytes whole)")
    peers = {}
    scratch = os.path.join(work, "scratch")
    os.makedirs(scratch, exist_ok=True)
    for peer, (encode, decode) in PEERS.items():
        if not shutil.which(encode("o", "n", "p")[0]):
            continue
        total, build_time, apply_time = 0, 0.0, 0.0
        for k, rel in enumerate(changed):
            o, n = os.path.join(old, rel), os.path.join(new, rel)
            p, out = os.path.join(scratch, f"{k}.patch"), os.path.join(scratch, f"{k}.out")
            build_time += timed(encode(o, n, p), 1)
            apply_time += timed(decode(o, p, out), 1)
            total += os.path.getsize(p)
            if not filecmp.cmp(out, n, False):
                print(f"MISMATCH: {peer} on {rel}", file=sys.stderr)
                sys.exit(1)
        peers[peer] = total
        print(f"  {peer:24s} {total:12d} {build_time:8.2f}s {mb / build_time:8.1f} {apply_time:8.2f}s "
              f"{mb / apply_time:8.1f}")
    shutil.rmtree(scratch)
    summary = [f"{name}: delta {os.path.getsize(delta)} bytes, full package {os.path.getsize(full)} "
               f"({os.path.getsize(delta) / os.path.getsize(full):.3f} of it); patches {ours} bytes",
               f"{name}: build {build:.2f} s ({mb / build:.1f} MB/s), apply {apply:.2f} s ({mb / apply:.1f} MB/s)"]
    summary += [f"{name} vs {peer}: {ours / theirs:.3f}" for peer, theirs in peers.items()]
    if peers:
        summary.append(f"{name} vs smallest peer: {ours / min(peers.values()):.3f}")
    return summary


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tool", required=True, help="path of the native update-tool")
    ap.add_argument("--work", required=True, help="work folder (the trees are cached here)")
    ap.add_argument("--cache", default=os.path.join(ROOT, "build", "delta-bench"), help="built executables")
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    tool, work = os.path.abspath(args.tool), os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)

    exes = os.path.join(work, "exe")
    first, today = updater_exe(FIRST_UPDATER, args.cache), updater_exe("HEAD", args.cache)
    for side, exe in (("old", first), ("new", today)):
        shutil.rmtree(os.path.join(exes, side), ignore_errors=True)
        os.makedirs(os.path.join(exes, side))
        shutil.copyfile(exe, os.path.join(exes, side, "Update.exe"))
    print(f"Update.exe: {os.path.basename(first)} ({os.path.getsize(first)} bytes) -> "
          f"{os.path.basename(today)} ({os.path.getsize(today)} bytes)")
    summary = measure("exe", tool, os.path.join(exes, "old"), os.path.join(exes, "new"), ["Update.exe"], work,
                      args.runs)
    old, new, changed = make_trees(work)
    summary += measure("tree", tool, old, new, changed, work, args.runs)
    print("--- summary")
    for line in summary:
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
