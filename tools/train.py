#!/usr/bin/env python3
"""Trains a tokenizer directory from a corpus file (one text per line)."""
import argparse
import time

import tarvex_rs


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("corpus_file")
    p.add_argument("out_dir")
    p.add_argument("--aim-token-num", type=int, default=20000)
    p.add_argument("--num-merges", type=int, default=50000)
    p.add_argument("--num-workers", type=int, default=0)
    p.add_argument("--use-heap", action="store_true")
    a = p.parse_args()
    t0 = time.perf_counter()
    tarvex_rs.train_to_hf(a.corpus_file, a.out_dir, num_merges=a.num_merges, aim_token_num=a.aim_token_num,
                          num_workers=a.num_workers, use_heap=a.use_heap)
    print(f"trained {a.out_dir} from {a.corpus_file} in {time.perf_counter() - t0:.1f}s")


if __name__ == "__main__":
    main()
