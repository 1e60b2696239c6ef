"""Single-process training end to end: identical directories for every
thread count and selection path, the loop's log lines and its stop rules."""

import re

import pytest

import tarvex_rs

WORDS = ["the", "cat", "sat", "on", "mat", "dog", "log", "a", "don't", "stop", "well-known", "U.S.", "end."]


def _texts(count=300, seed=7):
    # A small deterministic pseudo-random corpus (no dependence on Python's
    # hash seed or random module version).
    x = seed
    out = []
    for _ in range(count):
        words = []
        for _ in range(1 + x % 7):
            x = (x * 1103515245 + 12345) % (1 << 31)
            words.append(WORDS[x % len(WORDS)])
        x = (x * 1103515245 + 12345) % (1 << 31)
        out.append(" ".join(words))
    return out


def _directory(path):
    return {p.name: p.read_bytes() for p in sorted(path.iterdir())}


def _write(tmp_path, texts, name="corpus.txt"):
    p = tmp_path / name
    p.write_text("\n".join(texts) + "\n", encoding="utf-8")
    return str(p)


@pytest.mark.parametrize(
    "options",
    [{}, {"cross_word_start_vocab": 60}, {"forbid_punct_tokens": True, "allow_word_final_punct_tokens": True}],
    ids=["defaults", "cross_word_start_vocab", "punct"],
)
def test_same_directory_for_every_worker_count_and_selection_path(tmp_path, options):
    corpus = _write(tmp_path, _texts())
    dirs = []
    for workers in (1, 2, 0):
        for heap in (False, True):
            out = tmp_path / f"out_{workers}_{heap}"
            tarvex_rs.train_to_hf(corpus, str(out), aim_token_num=90, num_workers=workers, use_heap=heap, **options)
            dirs.append(((workers, heap), _directory(out)))
    first = dirs[0][1]
    for which, files in dirs[1:]:
        assert files == first, which
    assert '"the\u0120": ' in first["vocab.json"].decode("utf-8")


def test_log_lines(tmp_path, capfd):
    corpus = _write(tmp_path, _texts(100))
    capfd.readouterr()
    tarvex_rs.train_to_hf(corpus, str(tmp_path / "out"), aim_token_num=40, n_max=4, num_workers=2, use_heap=True)
    err = capfd.readouterr().err
    stamp = r"^\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z\]\[pid=\d+\]"
    expected = [
        r"\[stats\] rebuild_global_stats start entries=\d+ n_values=\[2, 3, 4\] num_workers=2$",
        r"\[stats\] rebuild_global_stats done keys=\d+ elapsed=\d+\.\d\ds$",
        r"\[train_single\] start merges=50000 n_values=\[2, 3, 4\] recompute_each_step=false use_heap=true "
        r"num_workers=2$",
        r"\[merge\]      0: freq=\d+ score=\d+ stats=\d+\.\d{3}s apply=\d+\.\d{3}s total=\d+\.\ds \[single\]$",
        r"\[train_single\] reach aim_token_num=40 \(vocab_size=40\), stop at step \d+ \(elapsed_total=\d+\.\d\ds\)$",
        r"\[tpc\] total_tokens=\d+ total_chars=\d+ tpc=\d\.\d{6} tok/char elapsed=\d+\.\d{3}s \[single\]$",
    ]
    for pattern in expected:
        assert re.search(stamp + pattern, err, re.M), pattern
    steps = re.findall(r"\[merge\] +(\d+): ", err)
    assert steps == [str(i) for i in range(len(steps))]
    reach = re.search(r"stop at step (\d+)", err)
    assert int(reach.group(1)) == len(steps)


def test_every_candidate_once_stops_silently(tmp_path, capfd):
    corpus = _write(tmp_path, ["abcdefg", "hijklmn"])
    capfd.readouterr()
    tarvex_rs.train_to_hf(corpus, str(tmp_path / "out"), aim_token_num=100)
    err = capfd.readouterr().err
    assert "[merge]" not in err and "stop" not in err
    assert re.search(r"\[tpc\] total_tokens=16 total_chars=14 tpc=1\.142857 ", err)


def test_stats_empty_stop(tmp_path, capfd):
    corpus = _write(tmp_path, ["a", "b", "a"])
    capfd.readouterr()
    tarvex_rs.train_to_hf(corpus, str(tmp_path / "out"), n_min=3, n_max=3)
    err = capfd.readouterr().err
    assert re.search(r"\[train_single\] step 0 stats empty, stop \(elapsed_total=\d+\.\d\ds\)", err)


def test_num_merges_zero_keeps_the_characters(tmp_path):
    corpus = _write(tmp_path, ["ab ab ab"])
    out = tmp_path / "out"
    tarvex_rs.train_to_hf(corpus, str(out), num_merges=0)
    vocab = (out / "vocab.json").read_text(encoding="utf-8")
    assert '"ab' not in vocab and '"a"' in vocab and '"\u0120"' in vocab
