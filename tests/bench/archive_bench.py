#!/usr/bin/env python3
"""Extraction speed: `update-tool extract` against unzip and bsdtar.

Makes (once, cached in the work folder) a deterministic package of about
150 MB uncompressed: thousands of small files in nested folders and a few large
ones, text-like and incompressible data mixed, zipped by Info-ZIP `zip`
(deflate). Each tool then extracts it into an empty folder; the median of the
runs is reported with MB/s over the uncompressed size, and a summary line per
peer: `extract vs <peer>: <ratio>` (the peer's time divided by ours, so above 1
means we are faster). Our tool is measured twice: as the updater runs it
(staged files flushed to disk before the commit) and with --no-sync, which
writes as the peers do.
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import time

WORDS = ("qelda brenvik update package release version manifest archive entry "
         "folder file install commit staging verify deflate inflate crc").split()


def make_tree(root, rng):
    total = 0
    # About 6,000 small files (1-16 KiB) in 3 levels of folders.
    for i in range(6000):
        folder = os.path.join(root, f"lib{i % 20:02d}", f"mod{i % 7}")
        os.makedirs(folder, exist_ok=True)
        size = rng.randint(1024, 16 * 1024)
        if i % 4 == 0:
            data = rng.randbytes(size)
        else:
            line = " ".join(rng.choice(WORDS) for _ in range(12)).encode() + b"\n"
            data = (line * (size // len(line) + 1))[:size]
        with open(os.path.join(folder, f"file{i:05d}.dat"), "wb") as f:
            f.write(data)
        total += size
    # A few large files, ~100 MB together: two incompressible, three text-like.
    os.makedirs(os.path.join(root, "big"), exist_ok=True)
    for j, size in enumerate((30 << 20, 20 << 20, 20 << 20, 15 << 20, 15 << 20)):
        path = os.path.join(root, "big", f"large{j}.bin")
        with open(path, "wb") as f:
            if j < 2:
                f.write(rng.randbytes(size))
            else:
                block = b"".join(
                    (" ".join(rng.choice(WORDS) for _ in range(10)) + "\n").encode() for _ in range(4096))
                left = size
                while left > 0:
                    f.write(block[:left])
                    left -= min(left, len(block))
        total += size
    return total


def timed(cmd, out_dir, runs):
    times = []
    for _ in range(runs):
        shutil.rmtree(out_dir, ignore_errors=True)
        os.makedirs(out_dir)
        start = time.perf_counter()
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def tree_listing(root):
    items = {}
    for dirpath, _, files in os.walk(root):
        for name in files:
            p = os.path.join(dirpath, name)
            items[os.path.relpath(p, root)] = os.path.getsize(p)
    return items


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tool", required=True, help="path of the native update-tool")
    ap.add_argument("--work", required=True, help="work folder (the package is cached here)")
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    args.work = os.path.abspath(args.work)
    args.tool = os.path.abspath(args.tool)

    os.makedirs(args.work, exist_ok=True)
    package = os.path.join(args.work, "bench-package.zip")
    size_file = package + ".size"
    if not os.path.exists(package) or not os.path.exists(size_file):
        src = os.path.join(args.work, "src")
        shutil.rmtree(src, ignore_errors=True)
        os.makedirs(src)
        print("making the package ...", flush=True)
        total = make_tree(src, random.Random(20261206))
        if os.path.exists(package):
            os.remove(package)
        subprocess.run(["zip", "-q", "-r", "-6", package, "."], cwd=src, check=True)
        shutil.rmtree(src)
        with open(size_file, "w") as f:
            f.write(str(total))
    total = int(open(size_file).read())
    mb = total / 1e6
    print(f"package: {os.path.getsize(package) / 1e6:.1f} MB compressed, {mb:.1f} MB in files")

    out = os.path.join(args.work, "out")
    runs = {
        "update-tool extract": [args.tool, "extract", package, out],
        "update-tool extract --no-sync": [args.tool, "extract", "--no-sync", package, out],
        "unzip": ["unzip", "-q", "-o", package, "-d", out],
    }
    if shutil.which("bsdtar"):
        runs["bsdtar"] = ["bsdtar", "-x", "-f", package, "-C", out]

    results = {}
    listings = {}
    for name, cmd in runs.items():
        t = timed(cmd, out, args.runs)
        results[name] = t
        listings[name] = tree_listing(out)
        print(f"{name:32s} {t * 1000:9.0f} ms  {mb / t:8.1f} MB/s", flush=True)
    shutil.rmtree(out, ignore_errors=True)

    reference = listings["unzip"]
    for name, listing in listings.items():
        if listing != reference:
            print(f"MISMATCH: {name} extracted a different tree than unzip", file=sys.stderr)
            return 1

    ours = results["update-tool extract"]
    print("--- summary")
    for name, t in results.items():
        print(f"{name}: {t * 1000:.0f} ms, {mb / t:.1f} MB/s")
    for peer in ("unzip", "bsdtar"):
        if peer in results:
            print(f"extract vs {peer}: {results[peer] / ours:.2f}")
            print(f"extract --no-sync vs {peer}: {results[peer] / results['update-tool extract --no-sync']:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
