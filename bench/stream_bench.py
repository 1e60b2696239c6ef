#!/usr/bin/env python3
"""Peak memory of train_to_hf_iter: a corpus streamed through a generator
against the same corpus held in a list.

The generator path holds one chunk of raw texts at a time (plus the table of
distinct normalized texts); the list path holds every text as a Python str
for the whole call. Each measurement runs in a fresh interpreter, because a
process's peak RSS only ever grows.

    .venv/bin/python bench/stream_bench.py [--corpus PATH] [--repeats N]
        [--chunk-size N] [--full [--num-merges N] [--aim-token-num N]]

The corpus is a (possibly xz-compressed) text file, one text per line; by
default the kdoc corpus in /work/shared. The "collect" stage ends the call
right after the texts are read (the source raises after its last text), so it
shows what reading holds; "full" (with --full) times whole calls, whose peak
is the trainer's.
"""
import argparse
import json
import lzma
import os
import resource
import shutil
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


class EndOfCorpus(Exception):
    pass


def then_stop(texts):
    """Yields the texts, then fails: the call ends right after reading, before
    training, which measures the collection stage alone (the last partial
    chunk is left uncounted)."""
    yield from texts
    raise EndOfCorpus("end")


def child(args):
    import tarvex_rs

    texts = lines(args.corpus)
    if args.source == "list":
        texts = list(texts)
    if args.stage == "collect":
        texts = then_stop(texts)
    before = rss_mib()
    out = tempfile.mkdtemp(prefix="stream_bench_")
    t0 = time.perf_counter()
    outcome = "trained" if args.stage == "full" else "collected"
    try:
        tarvex_rs.train_to_hf_iter(texts, os.path.join(out, "tok"), chunk_size=args.chunk_size,
                                   num_merges=args.num_merges, aim_token_num=args.aim_token_num)
    except ValueError as e:
        if not str(e).startswith("EndOfCorpus"):
            raise
    secs = time.perf_counter() - t0
    shutil.rmtree(out, ignore_errors=True)
    print(json.dumps({"rss_before_call_mib": before, "peak_rss_mib": peak_rss_mib(), "seconds": secs,
                      "outcome": outcome}))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--corpus", default=DEFAULT_CORPUS)
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--chunk-size", type=int, default=4096)
    ap.add_argument("--full", action="store_true", help="also time whole calls (training and export)")
    ap.add_argument("--num-merges", type=int, default=0)
    ap.add_argument("--aim-token-num", type=int, default=20000)
    ap.add_argument("--source", choices=["generator", "list"])
    ap.add_argument("--stage", choices=["collect", "full"])
    args = ap.parse_args()
    if args.source:
        return child(args)

    corpus = args.corpus
    tmp = tempfile.mkdtemp(prefix="stream_bench_corpus_")
    if corpus.endswith(".xz"):
        # Decompress once: the xz decoder's own buffers would otherwise count
        # against the streaming run only.
        corpus = os.path.join(tmp, "corpus.txt")
        with lzma.open(args.corpus, "rb") as src, open(corpus, "wb") as dst:
            shutil.copyfileobj(src, dst, 1 << 20)
    try:
        report(args, corpus)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def report(args, corpus):
    stages = ["collect", "full"] if args.full else ["collect"]
    runs = {(stage, source): [] for stage in stages for source in ("generator", "list")}
    for _ in range(args.repeats):
        for stage, source in runs:
            cmd = [sys.executable, __file__, "--source", source, "--stage", stage, "--corpus", corpus,
                   "--chunk-size", str(args.chunk_size), "--num-merges", str(args.num_merges),
                   "--aim-token-num", str(args.aim_token_num)]
            out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
            runs[(stage, source)].append(json.loads(out.strip().splitlines()[-1]))

    print(f"corpus {args.corpus}, chunk_size {args.chunk_size}, num_merges {args.num_merges}, "
          f"{args.repeats} runs each (medians)")
    print(f"{'stage':<8} {'source':<10} {'RSS before call':>16} {'peak RSS':>10} {'call adds':>10} {'seconds':>8}  outcome")
    for stage in stages:
        med = {}
        for source in ("generator", "list"):
            rs = runs[(stage, source)]
            m = med[source] = {k: statistics.median(r[k] for r in rs)
                               for k in ("rss_before_call_mib", "peak_rss_mib", "seconds")}
            print(f"{stage:<8} {source:<10} {m['rss_before_call_mib']:>12.1f} MiB {m['peak_rss_mib']:>6.1f} MiB "
                  f"{m['peak_rss_mib'] - m['rss_before_call_mib']:>6.1f} MiB {m['seconds']:>8.2f}  {rs[0]['outcome']}")
        print(f"{stage:<8} peak RSS list / generator: {med['list']['peak_rss_mib'] / med['generator']['peak_rss_mib']:.2f}")


if __name__ == "__main__":
    main()
