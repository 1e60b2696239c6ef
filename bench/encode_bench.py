#!/usr/bin/env python3
"""Encoder benchmark on the kdoc corpus.

Held-out texts are the lines whose 1-based number is a multiple of 10; the
rest is the train split. Reports

1. tokens per character of the held-out lines (tokens over the characters of
   the non-blank lines) for our tokenizer directory and for peers trained at
   the same vocabulary size on the same train split: sentencepiece BPE and
   unigram, and a byte-level `tokenizers` BPE;
2. batch encoding throughput in MB/s of UTF-8 input with 1 and 2 CPUs
   (median of --repeats runs, each thread count in its own process pinned
   with taskset), as wall-clock MB/s and as MB per CPU-second:
   DpTokenizer.encode_batch, tokenizers encode_batch and tiktoken
   encode_ordinary_batch;
3. with --parity, that DpTokenizer.encode, encode_batch, Tarvex through
   AutoTokenizer (native) and the pure-Python path give identical ids for
   every held-out line.

Usage:
  bench/encode_bench.py --tokenizer-dir DIR [--parity]
  bench/encode_bench.py --stand-in     # no trained directory yet: a vocabulary
                                       # made from the sentencepiece BPE pieces
Peer models are trained once and cached under --work-dir.
"""

import argparse
import json
import lzma
import os
import pathlib
import resource
import statistics
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
DEFAULT_CORPUS = pathlib.Path("/work/shared/corpora/kdoc.txt.xz")
G = "\u0120"
SPECIALS = ["<unk>", "<pad>", "<s>", "</s>", "<mask>"]


def log(*a):
    print(*a, file=sys.stderr, flush=True)


def read_split(corpus):
    opener = lzma.open if str(corpus).endswith(".xz") else open
    with opener(corpus, "rt", encoding="utf-8", errors="strict", newline="\n") as f:
        lines = f.read().split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    train = [l for i, l in enumerate(lines, 1) if i % 10 != 0]
    held = [l for i, l in enumerate(lines, 1) if i % 10 == 0]
    return train, held


def prepare(work, corpus):
    work.mkdir(parents=True, exist_ok=True)
    train_file, held_file = work / "train.txt", work / "heldout.json"
    if not train_file.exists() or not held_file.exists():
        train, held = read_split(corpus)
        train_file.write_text("\n".join(train) + "\n", encoding="utf-8")
        held_file.write_text(json.dumps(held, ensure_ascii=False), encoding="utf-8")
    held = json.loads(held_file.read_text(encoding="utf-8"))
    return train_file, [l for l in held if l.strip()]


# ---- peers ----------------------------------------------------------------------


def train_peers(work, train_file, vocab_size, threads):
    import sentencepiece as spm
    from tokenizers import Tokenizer, decoders, models, pre_tokenizers, trainers

    times = {}
    for kind in ("bpe", "unigram"):
        prefix = work / f"spm_{kind}_{vocab_size}"
        if not pathlib.Path(str(prefix) + ".model").exists():
            log(f"training sentencepiece {kind} ...")
            t0 = time.perf_counter()
            spm.SentencePieceTrainer.train(
                input=str(train_file), model_prefix=str(prefix), model_type=kind, vocab_size=vocab_size,
                num_threads=threads, input_sentence_size=0, max_sentence_length=1 << 16,
                minloglevel=2)
            times[f"spm_{kind}"] = time.perf_counter() - t0
    hf_file = work / f"hf_bpe_{vocab_size}.json"
    if not hf_file.exists():
        log("training tokenizers byte-level BPE ...")
        t0 = time.perf_counter()
        tok = Tokenizer(models.BPE())
        tok.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False)
        tok.decoder = decoders.ByteLevel()
        trainer = trainers.BpeTrainer(vocab_size=vocab_size, initial_alphabet=pre_tokenizers.ByteLevel.alphabet(),
                                      show_progress=False)
        tok.train([str(train_file)], trainer)
        tok.save(str(hf_file))
        times["hf_bpe"] = time.perf_counter() - t0
    return times


def gpt2_byte_decoder():
    bs = list(range(ord("!"), ord("~") + 1)) + list(range(ord("\xa1"), ord("\xac") + 1)) + list(
        range(ord("\xae"), ord("\xff") + 1))
    cs = bs[:]
    n = 0
    for b in range(256):
        if b not in bs:
            bs.append(b)
            cs.append(256 + n)
            n += 1
    return {chr(c): b for b, c in zip(bs, cs)}


def tiktoken_encoding(work, vocab_size):
    """cl100k_base when it loads without a download; else a tiktoken encoding
    over the byte-level tokenizers BPE vocabulary (ranks = merge order)."""
    import tiktoken

    try:
        return tiktoken.get_encoding("cl100k_base"), "cl100k_base"
    except Exception as e:  # no network here
        log(f"cl100k_base unavailable ({type(e).__name__}); using the tokenizers BPE vocabulary in tiktoken")
    data = json.loads((work / f"hf_bpe_{vocab_size}.json").read_text(encoding="utf-8"))
    dec = gpt2_byte_decoder()
    ranks = {bytes(dec[c] for c in tok): rank for tok, rank in data["model"]["vocab"].items()}
    pat = r"""'s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+"""
    enc = tiktoken.Encoding(name=f"hf_bpe_{vocab_size}", pat_str=pat, mergeable_ranks=ranks, special_tokens={})
    return enc, f"tokenizers-BPE-{vocab_size} ranks (cl100k_base needs a download)"


# ---- our tokenizer directory ------------------------------------------------------


def stand_in_dir(work, vocab_size):
    """A vocabulary in our format made from the sentencepiece BPE pieces, for
    throughput figures before a trained directory exists. Word-start pieces
    become whole-word tokens (with END_TOKEN), the others stay as they are."""
    out = work / f"stand_in_{vocab_size}"
    if (out / "vocab.json").exists():
        return out
    sys.path.insert(0, str(ROOT / "tests" / "python"))
    from export_dir import write_export_dir

    pieces = [l.split("\t")[0] for l in open(f"{work}/spm_bpe_{vocab_size}.vocab", encoding="utf-8")]
    tokens = set()
    for p in pieces:
        if p in ("<unk>", "<s>", "</s>"):
            continue
        word = p.replace("\u2581", "")
        if word:
            tokens.add(word + G if p.startswith("\u2581") else word)
            tokens.add(word)
    tokens = sorted(tokens)[: vocab_size - len(SPECIALS)]
    write_export_dir(out, tokens)
    return out


# ---- measurements -------------------------------------------------------------------


def tokens_per_char(args, work, held, our_dir):
    import sentencepiece as spm
    from tokenizers import Tokenizer

    chars = sum(len(l) for l in held)
    rows = {}
    if our_dir:
        import tarvex_rs

        tok = tarvex_rs.DpTokenizer(str(our_dir / "vocab.json"))
        rows["tarvex (DpTokenizer)"] = sum(map(len, tok.encode_batch(held)))
    for kind in ("bpe", "unigram"):
        sp = spm.SentencePieceProcessor(model_file=f"{work}/spm_{kind}_{args.vocab_size}.model")
        rows[f"sentencepiece {kind}"] = sum(map(len, sp.encode(held)))
    hf = Tokenizer.from_file(str(work / f"hf_bpe_{args.vocab_size}.json"))
    rows["tokenizers byte-level BPE"] = sum(len(e.ids) for e in hf.encode_batch(held, add_special_tokens=False))
    enc, label = tiktoken_encoding(work, args.vocab_size)
    rows[f"tiktoken {label}"] = sum(map(len, enc.encode_ordinary_batch(held)))
    return chars, {k: (v, v / chars) for k, v in rows.items()}


def throughput_child(args):
    """Runs in a pinned subprocess; prints one JSON line of MB/s medians."""
    work = pathlib.Path(args.work_dir)
    held = json.loads((work / "heldout.json").read_text(encoding="utf-8"))
    held = [l for l in held if l.strip()]
    mb = sum(len(l.encode("utf-8")) for l in held) / 1e6
    threads = int(os.environ.get("RAYON_NUM_THREADS", "1"))
    out = {"mb": mb, "threads": threads, "cpus": len(os.sched_getaffinity(0))}

    def cpu_secs():
        r = resource.getrusage(resource.RUSAGE_SELF)
        return r.ru_utime + r.ru_stime

    def median_mbs(fn):
        """Wall-clock MB/s, and MB per CPU-second (less sensitive to other
        load on a shared machine)."""
        fn(held[:1000])  # warm-up
        secs, cpu = [], []
        for _ in range(args.repeats):
            c0, t0 = cpu_secs(), time.perf_counter()
            fn(held)
            secs.append(time.perf_counter() - t0)
            cpu.append(cpu_secs() - c0)
        return {"wall": round(mb / statistics.median(secs), 2), "per_cpu_sec": round(mb / statistics.median(cpu), 2)}

    if args.our_dir:
        import tarvex_rs

        tok = tarvex_rs.DpTokenizer(str(pathlib.Path(args.our_dir) / "vocab.json"))
        out["tarvex encode_batch"] = median_mbs(tok.encode_batch)
    from tokenizers import Tokenizer

    hf = Tokenizer.from_file(str(work / f"hf_bpe_{args.vocab_size}.json"))
    out["tokenizers encode_batch"] = median_mbs(lambda xs: hf.encode_batch(xs, add_special_tokens=False))
    enc, label = tiktoken_encoding(work, args.vocab_size)
    out[f"tiktoken encode_ordinary_batch ({label})"] = median_mbs(
        lambda xs: enc.encode_ordinary_batch(xs, num_threads=threads))
    print(json.dumps(out))


def throughput(args, our_dir):
    results = []
    for t in args.threads:
        cpus = ",".join(str(c) for c in sorted(os.sched_getaffinity(0))[:t])
        env = dict(os.environ, RAYON_NUM_THREADS=str(t), TOKENIZERS_PARALLELISM="true")
        cmd = ["taskset", "-c", cpus, sys.executable, __file__, "--child", "--work-dir", args.work_dir,
               "--vocab-size", str(args.vocab_size), "--repeats", str(args.repeats)]
        if our_dir:
            cmd += ["--our-dir", str(our_dir)]
        line = subprocess.run(cmd, env=env, check=True, capture_output=True, text=True).stdout.strip().splitlines()[-1]
        results.append(json.loads(line))
    return results


def parity(our_dir, held):
    """Identical ids from the four paths, outside the documented difference
    of the pure-Python split (U+001C..U+001F are whitespace there)."""
    os.environ["HF_HUB_OFFLINE"] = "1"
    import tarvex_rs
    from transformers import AutoTokenizer

    dp = tarvex_rs.DpTokenizer(str(our_dir / "vocab.json"))
    one = [dp.encode(l) for l in held]
    batch = dp.encode_batch(held)
    native = AutoTokenizer.from_pretrained(str(our_dir), trust_remote_code=True)
    assert native._native is not None
    via_hf = native(held, add_special_tokens=False)["input_ids"]
    os.environ["TARVEX_DISABLE_NATIVE"] = "1"
    pure = AutoTokenizer.from_pretrained(str(our_dir), trust_remote_code=True)
    del os.environ["TARVEX_DISABLE_NATIVE"]
    assert pure._native is None
    skipped = mismatches = 0
    t0 = time.perf_counter()
    for i, l in enumerate(held):
        if any("\x1c" <= c <= "\x1f" for c in l):
            skipped += 1
            continue
        tokens_native = native._tokenize(l)
        ids_pure = pure.convert_tokens_to_ids(pure._tokenize(l))
        if not (one[i] == batch[i] == via_hf[i] == native.convert_tokens_to_ids(tokens_native) == ids_pure):
            mismatches += 1
            if mismatches <= 5:
                log(f"mismatch on held-out text {i}: {l[:80]!r}")
    return {"texts": len(held), "skipped_documented": skipped, "mismatches": mismatches,
            "pure_python_secs": round(time.perf_counter() - t0, 1)}


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--tokenizer-dir", help="our exported tokenizer directory (trained on the train split)")
    p.add_argument("--stand-in", action="store_true", help="without a trained directory: use a stand-in vocabulary")
    p.add_argument("--corpus", default=str(DEFAULT_CORPUS))
    p.add_argument("--work-dir", default=str(ROOT / "bench" / "results" / "encode"))
    p.add_argument("--vocab-size", type=int, default=20000)
    p.add_argument("--repeats", type=int, default=3)
    p.add_argument("--threads", type=lambda s: [int(x) for x in s.split(",")], default=[1, 2])
    p.add_argument("--train-threads", type=int, default=2)
    p.add_argument("--parity", action="store_true")
    p.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    p.add_argument("--our-dir", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.child:
        return throughput_child(args)

    work = pathlib.Path(args.work_dir)
    train_file, held = prepare(work, pathlib.Path(args.corpus))
    report = {"held_out_texts": len(held), "peer_training_secs": train_peers(work, train_file, args.vocab_size,
                                                                              args.train_threads)}
    our_dir = None
    if args.tokenizer_dir:
        our_dir = pathlib.Path(args.tokenizer_dir).resolve()
        report["tokenizer_dir"] = str(our_dir)
    elif args.stand_in:
        our_dir = stand_in_dir(work, args.vocab_size)
        report["tokenizer_dir"] = f"{our_dir} (stand-in vocabulary, not trained by tarvex)"
    if our_dir:
        report["our_vocab_size"] = len(json.loads((our_dir / "vocab.json").read_text(encoding="utf-8")))
    chars, tpc = tokens_per_char(args, work, held, our_dir)
    report["held_out_chars"] = chars
    report["tokens_per_char"] = {k: {"tokens": n, "tpc": round(r, 5)} for k, (n, r) in tpc.items()}
    report["throughput_mb_per_s"] = [
        {k: (round(v, 2) if isinstance(v, float) else v) for k, v in r.items()} for r in throughput(args, our_dir)]
    if args.parity and our_dir:
        report["parity"] = parity(our_dir, held)
    text = json.dumps(report, ensure_ascii=False, indent=2)
    print(text)
    (work / "report.json").write_text(text + "\n", encoding="utf-8")


if __name__ == "__main__":
    main()
