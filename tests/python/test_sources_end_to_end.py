"""The same texts given as a corpus file, a list, a generator and parquet
datasets train byte-identical tokenizer directories."""
import inspect
import json
import textwrap

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import tarvex_rs

OPTIONS = {"aim_token_num": 300, "num_merges": 200}


def real_texts():
    """Docstring paragraphs of a few standard modules, plus texts that the
    sources must treat alike: repeats, odd white space, non-ASCII."""
    texts = []
    for module in (json, textwrap, inspect):
        for _, obj in sorted(vars(module).items()):
            doc = inspect.getdoc(obj) if callable(obj) and getattr(obj, "__module__", None) == module.__name__ else None
            for para in (doc or "").split("\n\n"):
                if para.strip():
                    texts.append(" ".join(para.split()))
    texts += ["caf\u00e9 na\u00efve \u00fcber \u2014 \u65e5\u672c\u8a9e \U0001F600", "  leading and trailing  ",
              "tabs\tinside\ttext", "a  b", "a b", "a b"]
    return texts


def tree(path):
    return {p.name: p.read_bytes() for p in sorted(path.iterdir())}


@pytest.fixture(scope="module")
def source_texts(tmp_path_factory):
    texts = real_texts()
    root = tmp_path_factory.mktemp("corpus")
    lines = []
    for i, t in enumerate(texts):
        lines.append(t)
        if i % 50 == 0:
            lines.append("   ")  # blank lines are skipped by every source
    (root / "corpus.txt").write_text("\n".join(lines) + "\n", encoding="utf-8")
    (root / "crlf.txt").write_bytes(("\r\n".join(lines) + "\r\n").encode("utf-8"))
    pq.write_table(pa.table({"text": pa.array(texts + [None, ""])}), str(root / "one.parquet"))
    many = root / "many"
    many.mkdir()
    for part in range(3):
        pq.write_table(pa.table({"body": pa.array(texts[part::3])}), str(many / f"part-{part}.parquet"))
    return root, texts


def test_every_source_writes_the_same_directory(tmp_path, source_texts):
    root, texts = source_texts
    tarvex_rs.train_to_hf(str(root / "corpus.txt"), str(tmp_path / "file"), **OPTIONS)
    expected = tree(tmp_path / "file")
    vocab = json.loads(expected["vocab.json"])
    assert len(vocab) > len(set("".join(texts))) + 100  # training merged plenty

    def gen():
        yield from texts

    def from_file_object(out):
        with open(root / "corpus.txt", encoding="utf-8") as f:
            tarvex_rs.train_to_hf_iter(f, out, **OPTIONS)

    runs = {
        "crlf file": lambda out: tarvex_rs.train_to_hf(str(root / "crlf.txt"), out, **OPTIONS),
        "list": lambda out: tarvex_rs.train_to_hf_iter(texts, out, **OPTIONS),
        "generator": lambda out: tarvex_rs.train_to_hf_iter(gen(), out, **OPTIONS),
        "chunk of one, one thread": lambda out: tarvex_rs.train_to_hf_iter(
            texts, out, chunk_size=1, num_workers=1, **OPTIONS),
        "odd chunks, three threads": lambda out: tarvex_rs.train_to_hf_iter(
            iter(texts), out, chunk_size=7, num_workers=3, **OPTIONS),
        "file object": from_file_object,
        "parquet file": lambda out: tarvex_rs.train_to_hf_parquet(str(root / "one.parquet"), out, **OPTIONS),
        "parquet batches of one": lambda out: tarvex_rs.train_to_hf_parquet(
            str(root / "one.parquet"), out, batch_size=0, chunk_size=5, **OPTIONS),
        "parquet directory": lambda out: tarvex_rs.train_to_hf_parquet(
            str(root / "many"), out, text_column="body", **OPTIONS),
        "parquet directory listed": lambda out: tarvex_rs.train_to_hf_parquet(
            str(root / "many"), out, text_column="body", recursive=False, **OPTIONS),
    }
    for name, run in runs.items():
        out = tmp_path / name.replace(" ", "_").replace(",", "")
        run(str(out))
        assert tree(out) == expected, name


@pytest.mark.parametrize("source", ["list", "parquet"])
@pytest.mark.parametrize("before", [None, "x"])
def test_export_failure_after_training(tmp_path, process_env, source_texts, source, before):
    root, texts = source_texts
    if before is None:
        process_env.unset("MP_PY_WORKER")
    else:
        process_env.set("MP_PY_WORKER", before)
    taken = tmp_path / "taken"
    taken.write_text("keep")
    with pytest.raises(ValueError) as e:
        if source == "list":
            tarvex_rs.train_to_hf_iter(texts, str(taken), **OPTIONS)
        else:
            tarvex_rs.train_to_hf_parquet(str(root / "one.parquet"), str(taken), **OPTIONS)
    assert "(os error 17)" in str(e.value)
    assert taken.read_text() == "keep"
    assert process_env.get("MP_PY_WORKER") == before
