#!/usr/bin/env python3
"""Peak memory of train_to_hf_iter: a corpus streamed through a generator
against the same corpus held in a list.

The generator path holds one chunk of raw texts at a time (plus the table of
distinct normalized texts); the list path holds every text as a Python str
for the whole call. Each measurement runs in a fresh interpreter, because a
process's peak RSS only ever grows.

    .venv/bin/python bench/stream_bench.py [--corpus PATH] [--repeats N]
        [--chunk-size N] [--num-merges N] [--aim-token-num N]

The corpus is a (possibly xz-compressed) text file, one text per line; by
default the kdoc corpus in /work/shared. With the trainer not yet in place
the call ends after collection, and the report says so.
"""
import argparse
import json
import lzma
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

DEFAULT_CORPUS = "/work/shared/corpora/kdoc.txt.xz"


def rss_mib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def peak_rss_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def lines(path):
    """The corpus texts, with line ends removed as train_to_hf removes them."""
    opener = lzma.open if path.endswith(".xz") else open
    with opener(path, "rt", encoding="utf-8", newline="\n") as f:
        for line in f:
            line = line[:-1] if line.endswith("\n") else line
            yield line[:-1] if line.endswith("\r") else line


def child(args):
    import tarvex_rs

    texts = lines(args.corpus)
    if args.child == "list":
        texts = list(texts)
    before = rss_mib()
    out = tempfile.mkdtemp(prefix="stream_bench_")
    t0 = time.perf_counter()
    outcome = "trained"
    try:
        tarvex_rs.train_to_hf_iter(texts, os.path.join(out, "tok"), chunk_size=args.chunk_size,
                                   num_merges=args.num_merges, aim_token_num=args.aim_token_num)
    except ValueError as e:
        if "not built yet" not in str(e):
            raise
        outcome = f"collected only ({e})"
    secs = time.perf_counter() - t0
    print(json.dumps({"mode": args.child, "rss_before_call_mib": before, "peak_rss_mib": peak_rss_mib(),
                      "seconds": secs, "outcome": outcome}))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--corpus", default=DEFAULT_CORPUS)
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--chunk-size", type=int, default=4096)
    ap.add_argument("--num-merges", type=int, default=200)
    ap.add_argument("--aim-token-num", type=int, default=20000)
    ap.add_argument("--child", choices=["generator", "list"])
    args = ap.parse_args()
    if args.child:
        return child(args)

    results = {"generator": [], "list": []}
    for _ in range(args.repeats):
        for mode in results:
            cmd = [sys.executable, __file__, "--child", mode, "--corpus", args.corpus,
                   "--chunk-size", str(args.chunk_size), "--num-merges", str(args.num_merges),
                   "--aim-token-num", str(args.aim_token_num)]
            out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
            results[mode].append(json.loads(out.strip().splitlines()[-1]))

    print(f"corpus {args.corpus}, chunk_size {args.chunk_size}, num_merges {args.num_merges}, "
          f"{args.repeats} runs each (medians)")
    print(f"{'mode':<10} {'RSS before call':>16} {'peak RSS':>10} {'seconds':>8}  outcome")
    med = {}
    for mode, runs in results.items():
        med[mode] = {k: statistics.median(r[k] for r in runs) for k in ("rss_before_call_mib", "peak_rss_mib", "seconds")}
        m = med[mode]
        print(f"{mode:<10} {m['rss_before_call_mib']:>12.1f} MiB {m['peak_rss_mib']:>6.1f} MiB {m['seconds']:>8.2f}  "
              f"{runs[0]['outcome']}")
    print(f"peak RSS list / generator: {med['list']['peak_rss_mib'] / med['generator']['peak_rss_mib']:.2f}")


if __name__ == "__main__":
    main()
