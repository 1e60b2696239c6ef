#!/usr/bin/env python3
"""Training benchmark: tarvex_rs (heap and scan selection) next to
sentencepiece's BPE trainer on the train split of the kdoc corpus.

The train split is every line whose 1-based number is not a multiple of 10;
the held-out lines (multiples of 10) are encoded with the peer's model to
report its tokens per character. Each configuration runs in a fresh process
so that its peak RSS is its own; figures are medians over --runs.

    .venv/bin/python bench/train_bench.py [--runs 3] [--lines N] [--modes heap,scan,spm]
"""
import argparse
import json
import lzma
import os
import re
import statistics
import subprocess
import sys
import tempfile

CORPUS = "/work/shared/corpora/kdoc.txt.xz"

TARVEX_CHILD = r"""
import json, os, resource, sys, time, tarvex_rs
corpus, out_dir, aim, heap = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4] == "1"
t = time.perf_counter()
ru = resource.getrusage(resource.RUSAGE_SELF)
err = None
try:
    tarvex_rs.train_to_hf(corpus, out_dir, aim_token_num=aim, use_heap=heap)
except ValueError as e:  # export may be missing in a partial build: training was measured anyway
    err = str(e)
wall = time.perf_counter() - t
end = resource.getrusage(resource.RUSAGE_SELF)
cpu = end.ru_utime + end.ru_stime - ru.ru_utime - ru.ru_stime
print(json.dumps({"wall": wall, "cpu": cpu, "rss_kb": end.ru_maxrss, "error": err}))
"""

SPM_CHILD = r"""
import json, resource, sys, time, sentencepiece as spm
corpus, prefix, vocab = sys.argv[1], sys.argv[2], int(sys.argv[3])
t = time.perf_counter()
ru = resource.getrusage(resource.RUSAGE_SELF)
spm.SentencePieceTrainer.train(input=corpus, model_prefix=prefix, vocab_size=vocab, model_type="bpe", minloglevel=2)
wall = time.perf_counter() - t
end = resource.getrusage(resource.RUSAGE_SELF)
cpu = end.ru_utime + end.ru_stime - ru.ru_utime - ru.ru_stime
print(json.dumps({"wall": wall, "cpu": cpu, "rss_kb": end.ru_maxrss}))
"""


def split_corpus(tmp, limit):
    train_path, held_path = os.path.join(tmp, "train.txt"), os.path.join(tmp, "heldout.txt")
    with lzma.open(CORPUS, "rt", encoding="utf-8", newline="\n") as src, open(
        train_path, "w", encoding="utf-8", newline="\n"
    ) as tr, open(held_path, "w", encoding="utf-8", newline="\n") as ho:
        for no, line in enumerate(src, 1):
            if limit and no > limit:
                break
            (ho if no % 10 == 0 else tr).write(line if line.endswith("\n") else line + "\n")
    return train_path, held_path


def run_tarvex(train_path, out_dir, aim, heap):
    env = dict(os.environ, LOG_FILE=os.devnull)
    p = subprocess.run(
        [sys.executable, "-c", TARVEX_CHILD, train_path, out_dir, str(aim), "1" if heap else "0"],
        capture_output=True, text=True, env=env, check=True,
    )
    res = json.loads(p.stdout.strip().splitlines()[-1])
    log = p.stderr
    m = re.search(r"stop at step (\d+)", log)
    res["steps"] = int(m.group(1)) if m else len(re.findall(r"\]\[merge\] ", log))
    tpc = re.findall(r"\[tpc\] (.*)", log)
    res["tpc_line"] = tpc[-1] if tpc else ""
    m = re.search(r"tpc=([0-9.]+)", res["tpc_line"])
    res["tpc"] = float(m.group(1)) if m else float("nan")
    m = re.search(r"rebuild_global_stats done keys=(\d+) elapsed=([0-9.]+)s", log)
    res["count_secs"] = float(m.group(2)) if m else float("nan")
    return res


def run_spm(train_path, prefix, vocab):
    p = subprocess.run([sys.executable, "-c", SPM_CHILD, train_path, prefix, str(vocab)],
                       capture_output=True, text=True, check=True)
    return json.loads(p.stdout.strip().splitlines()[-1])


def spm_heldout_tpc(model, held_path):
    import sentencepiece as spm

    sp = spm.SentencePieceProcessor(model_file=model)
    tokens = chars = 0
    with open(held_path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if not line.strip():
                continue
            chars += len(line)
            tokens += len(sp.encode(line))
    return tokens / chars if chars else 0.0


def median(rows, key):
    return statistics.median(r[key] for r in rows)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--lines", type=int, default=0, help="use only the first N corpus lines (0: all)")
    ap.add_argument("--aim", type=int, default=20000)
    ap.add_argument("--modes", default="heap,scan,spm")
    args = ap.parse_args()
    modes = args.modes.split(",")

    with tempfile.TemporaryDirectory(prefix="tarvex_bench_") as tmp:
        train_path, held_path = split_corpus(tmp, args.lines)
        report = {"corpus": CORPUS, "lines": args.lines or "all", "aim": args.aim, "runs": args.runs}
        # Runs take turns (heap, scan, peer, heap, ...) so that a noisy
        # stretch of a shared machine weighs on every mode alike.
        rows_of = {mode: [] for mode in modes}
        for i in range(args.runs):
            for mode in modes:
                if mode == "spm":
                    r = run_spm(train_path, os.path.join(tmp, "spm"), args.aim)
                else:
                    r = run_tarvex(train_path, os.path.join(tmp, f"out_{mode}_{i}"), args.aim, mode == "heap")
                rows_of[mode].append(r)
                print(f"{mode} run {i + 1}: " + json.dumps(r), file=sys.stderr, flush=True)
        for mode in modes:
            rows = rows_of[mode]
            summary = {"wall_s": round(median(rows, "wall"), 2), "cpu_s": round(median(rows, "cpu"), 2),
                       "peak_rss_mb": round(median(rows, "rss_kb") / 1024)}
            if mode != "spm":
                summary["steps"] = int(median(rows, "steps"))
                summary["count_s"] = median(rows, "count_secs")
                summary["tpc"] = median(rows, "tpc")
                summary["tpc_line"] = rows[len(rows) // 2]["tpc_line"]
                summary["export_error"] = rows[-1]["error"]
            else:
                summary["heldout_tokens_per_char"] = round(spm_heldout_tpc(os.path.join(tmp, "spm.model"), held_path), 6)
            report[mode] = summary
        if "spm" in modes:
            # Medians of each mode over the same interleaved runs.
            for mode in modes:
                if mode != "spm":
                    report[mode]["wall_vs_spm"] = round(report[mode]["wall_s"] / report["spm"]["wall_s"], 2)
                    report[mode]["cpu_vs_spm"] = round(report[mode]["cpu_s"] / report["spm"]["cpu_s"], 2)
        print(json.dumps(report, indent=2))


if __name__ == "__main__":
    main()
