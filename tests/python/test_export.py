"""The tokenizer directory as a training call leaves it: five files, dense
ids with the specials first, byte-ordered vocab.json, CR LF README, and
export errors raised as ValueError without a complete-looking directory."""

import json

import pytest

import tarvex_rs

SPECIALS = ["<unk>", "<pad>", "<s>", "</s>", "<mask>"]
FILES = ["README.md", "special_tokens_map.json", "tokenization_tarvex.py", "tokenizer_config.json", "vocab.json"]
TEXTS = ["the cat sat on the mat", "the dog sat on the log", "a cat, a dog.", "don't stop"] * 5


def _train(tmp_path, out_dir, **kwargs):
    corpus = tmp_path / "corpus.txt"
    corpus.write_text("\n".join(TEXTS) + "\n", encoding="utf-8")
    try:
        tarvex_rs.train_to_hf(str(corpus), str(out_dir), aim_token_num=40, **kwargs)
    except ValueError as err:
        if "not built yet" in str(err):
            pytest.skip(str(err))
        raise


def test_directory_layout(tmp_path):
    out_dir = tmp_path / "nested" / "tok"
    _train(tmp_path, out_dir)
    assert sorted(p.name for p in out_dir.iterdir()) == FILES

    raw = (out_dir / "vocab.json").read_bytes()
    assert raw.endswith(b"}\n") and not raw.startswith(b"\xef\xbb\xbf")
    vocab = json.loads(raw.decode("utf-8"))
    assert sorted(vocab.values()) == list(range(len(vocab)))
    assert [vocab[s] for s in SPECIALS] == [0, 1, 2, 3, 4]
    others = sorted((t for t in vocab if t not in SPECIALS), key=lambda t: t.encode("utf-8"))
    assert [vocab[t] for t in others] == list(range(5, len(vocab)))
    names = [line.split(b'": ')[0][3:] for line in raw.split(b"\n")[1:-2]]
    assert names == sorted(names)  # members in byte order, not id order
    assert "\u0120" in "".join(vocab) and b"\\u0120" not in raw

    config = json.loads((out_dir / "tokenizer_config.json").read_text(encoding="utf-8"))
    assert config["auto_map"] == {"AutoTokenizer": ["tokenization_tarvex.Tarvex", None]}
    assert config["tokenizer_class"] == "Tarvex" and config["model_max_length"] == 1000000000
    specials = json.loads((out_dir / "special_tokens_map.json").read_text(encoding="utf-8"))
    assert specials == {"bos_token": "<s>", "eos_token": "</s>", "mask_token": "<mask>", "pad_token": "<pad>",
                        "unk_token": "<unk>"}

    readme = (out_dir / "README.md").read_bytes()
    assert readme.startswith(b"### Tarvex Tokenizer\r\n")
    assert readme.count(b"\n") == readme.count(b"\r\n")


def test_reexport_keeps_other_files(tmp_path):
    out_dir = tmp_path / "tok"
    _train(tmp_path, out_dir)
    (out_dir / "notes.txt").write_text("mine")
    _train(tmp_path, out_dir)
    assert sorted(p.name for p in out_dir.iterdir()) == sorted(FILES + ["notes.txt"])
    assert (out_dir / "notes.txt").read_text() == "mine"


def test_out_dir_that_is_a_file(tmp_path):
    target = tmp_path / "taken"
    target.write_text("keep")
    with pytest.raises(ValueError) as err:
        _train(tmp_path, target)
    assert str(target) in str(err.value) and "(os error 17)" in str(err.value)
    assert target.read_text() == "keep"
