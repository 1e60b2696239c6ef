"""End to end on a slice of the real corpus: training, export and encoding agree."""
import json
import lzma
import os
import subprocess
import sys
from pathlib import Path

import pytest

import tarvex_rs

CORPUS = Path(__file__).resolve().parents[2].parent / "shared" / "corpora" / "kdoc.txt.xz"
pytestmark = pytest.mark.skipif(not CORPUS.exists(), reason="kdoc corpus not present beside the checkout")


@pytest.fixture(scope="module")
def kdoc_slice(tmp_path_factory):
    lines = []
    with lzma.open(CORPUS, "rt", encoding="utf-8") as f:
        for i, line in enumerate(f):
            if i == 4000:
                break
            lines.append(line.rstrip("\n"))
    path = tmp_path_factory.mktemp("kdoc") / "slice.txt"
    path.write_text("\n".join(lines[i] for i in range(len(lines)) if (i + 1) % 10) + "\n", encoding="utf-8")
    held_out = [lines[i] for i in range(len(lines)) if (i + 1) % 10 == 0 and lines[i].strip()]
    return str(path), held_out


def _files(d):
    return {p.name: p.read_bytes() for p in Path(d).iterdir()}


def test_directories_identical_across_workers_and_selection(kdoc_slice, tmp_path):
    path, _ = kdoc_slice
    dirs = []
    for workers, heap in [(1, False), (2, True), (0, False), (0, True)]:
        out = tmp_path / f"w{workers}h{int(heap)}"
        tarvex_rs.train_to_hf(path, str(out), aim_token_num=1500, num_workers=workers, use_heap=heap)
        dirs.append(_files(out))
    assert all(d == dirs[0] for d in dirs[1:])


def test_incremental_statistics_match_a_recount(kdoc_slice, tmp_path):
    path, _ = kdoc_slice
    code = ("import sys, tarvex_rs\n"
            "tarvex_rs.train_to_hf(sys.argv[1], sys.argv[2], num_merges=150, aim_token_num=0)\n")
    env = dict(os.environ, VERIFY_STATS="1", VERIFY_PRE="1", LOG_LEVEL="debug", LOG_FILE=str(tmp_path / "log"))
    r = subprocess.run([sys.executable, "-c", code, path, str(tmp_path / "out")], env=env, capture_output=True,
                       text=True, timeout=600)
    assert r.returncode == 0, r.stderr[-2000:]
    assert "[verify" not in r.stderr
    assert r.stderr.count("[merge]") == 150


def test_encoders_agree_on_held_out_lines(kdoc_slice, tmp_path):
    path, held_out = kdoc_slice
    out = tmp_path / "tok"
    tarvex_rs.train_to_hf(path, str(out), aim_token_num=1500)
    tok = tarvex_rs.DpTokenizer(str(out / "vocab.json"))
    batch = tok.encode_batch(held_out)
    assert batch == [tok.encode(t) for t in held_out]
    code = ("import json, sys\n"
            "sys.path.insert(0, sys.argv[1])\n"
            "from tokenization_tarvex import Tarvex\n"
            "t = Tarvex(vocab_file=sys.argv[1] + '/vocab.json')\n"
            "texts = json.load(open(sys.argv[2]))\n"
            "print(json.dumps([t.convert_tokens_to_ids(t._tokenize(x)) for x in texts]))\n")
    texts_file = tmp_path / "texts.json"
    texts_file.write_text(json.dumps(held_out))
    env = dict(os.environ, TARVEX_DISABLE_NATIVE="1", HF_HUB_OFFLINE="1")
    r = subprocess.run([sys.executable, "-c", code, str(out), str(texts_file)], env=env, capture_output=True,
                       text=True, timeout=600)
    assert r.returncode == 0, r.stderr[-2000:]
    assert json.loads(r.stdout.strip().splitlines()[-1]) == batch
    # Fewer tokens than characters by a wide margin on real text.
    chars = sum(len(t) for t in held_out)
    assert sum(map(len, batch)) < 0.5 * chars
