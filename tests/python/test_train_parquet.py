"""train_to_hf_parquet: reading texts from parquet files through pyarrow."""
import os
import subprocess
import sys

import pyarrow as pa
import pyarrow.dataset
import pyarrow.parquet as pq
import pytest

import tarvex_rs

NO_TEXTS = "no training texts read from parquet"
REAL_DATASET = pyarrow.dataset.dataset


def collects(path, out, **kwargs):
    """Runs a parquet training call that must get through to a written directory."""
    tarvex_rs.train_to_hf_parquet(path, out, **kwargs)
    assert os.path.exists(os.path.join(out, "vocab.json"))


def fails(*args, **kwargs):
    with pytest.raises(ValueError) as e:
        tarvex_rs.train_to_hf_parquet(*args, **kwargs)
    return str(e.value)


def write(path, values, column="text", type=None):
    path.parent.mkdir(parents=True, exist_ok=True)
    pq.write_table(pa.table({column: pa.array(values, type=type)}), str(path))
    return str(path)


# Stand-ins for pyarrow's dataset objects, installed in place of
# pyarrow.dataset.dataset. Without `batches` they wrap the real dataset and
# only record; with `batches` (a list of to_pylist results, or exceptions to
# raise in their place) they yield those.
class Recorder:
    def __init__(self, batches=None):
        self.calls = []
        self.batches_taken = 0
        self.fake_batches = batches

    def dataset(self, source, **kwargs):
        self.calls.append(("dataset", source, kwargs))
        real = None if self.fake_batches is not None else REAL_DATASET(source, **kwargs)
        return _Dataset(self, real)


class _Dataset:
    def __init__(self, rec, real):
        self.rec, self.real = rec, real

    def scanner(self, **kwargs):
        self.rec.calls.append(("scanner", kwargs))
        return _Scanner(self.rec, self.real.scanner(**kwargs) if self.real is not None else None)


class _Scanner:
    def __init__(self, rec, real):
        self.rec, self.real = rec, real

    def to_batches(self):
        source = self.real.to_batches() if self.real is not None else map(_Batch, self.rec.fake_batches)
        for batch in source:
            self.rec.batches_taken += 1
            yield batch


class _Batch:
    def __init__(self, values):
        self.values = values

    def column(self, i):
        assert i == 0
        if isinstance(self.values, BaseException):
            raise self.values
        return _Column(self.values)


class _Column:
    def __init__(self, values):
        self.values = values

    def to_pylist(self):
        return self.values


@pytest.fixture
def recorder(monkeypatch):
    def install(batches=None):
        rec = Recorder(batches)
        monkeypatch.setattr(pyarrow.dataset, "dataset", rec.dataset)
        return rec

    return install


def test_calls_pyarrow_as_documented(tmp_path, recorder):
    f = write(tmp_path / "a.parquet", ["some text", "more text"], column="body")
    for batch_size, asked in [(0, 1), (3, 3), (8192, 8192)]:
        rec = recorder()
        collects(f, str(tmp_path / "out"), text_column="body", batch_size=batch_size)
        assert rec.calls == [
            ("dataset", f, {"format": "parquet"}),
            ("scanner", {"columns": ["body"], "batch_size": asked, "use_threads": True}),
        ]


def test_batch_size_zero_reads_one_row_per_batch(tmp_path, recorder):
    f = write(tmp_path / "a.parquet", [f"text {i}" for i in range(5)])
    rec = recorder()
    collects(f, str(tmp_path / "out"), batch_size=0)
    assert rec.batches_taken == 5


def test_directory_without_recursion_lists_parquet_files_only(tmp_path, recorder):
    d = tmp_path / "data"
    # The lower-case file holds nothing usable, so collection only succeeds
    # when the upper-case one is read as well.
    write(d / "a.parquet", [None, "  ", ""])
    write(d / "B.PARQUET", ["real text"])
    (d / "c.txt").write_text("not parquet")
    write(d / "d.parquet" / "inner.parquet", [1, 2])  # a directory, never opened
    write(d / "nested" / "e.parquet", [3])
    rec = recorder()
    collects(str(d), str(tmp_path / "out"), recursive=False)
    source = rec.calls[0][1]
    expected = [str(d / n) for n in os.listdir(d) if n in ("a.parquet", "B.PARQUET")]
    assert source == expected  # in listing order, not sorted

    rec = recorder()
    collects(str(d) + "/", str(tmp_path / "out"), recursive=False)
    assert rec.calls[0][1] == [str(d) + "/" + n for n in os.listdir(d) if n in ("a.parquet", "B.PARQUET")]


def test_recursive_hands_the_path_to_pyarrow(tmp_path, recorder):
    d = tmp_path / "data"
    write(d / "sub" / "deeper" / "x.parquet", ["found by pyarrow"])
    rec = recorder()
    collects(str(d), str(tmp_path / "out"), recursive=True)
    assert rec.calls[0][1] == str(d)
    # Without recursion the nested file is not found.
    assert fails(str(d), str(tmp_path / "out"), recursive=False) == "no .parquet files found (recursive=false)"


def test_single_file_is_passed_as_is_without_recursion(tmp_path, recorder):
    f = write(tmp_path / "one.parquet", ["text"])
    rec = recorder()
    collects(f, str(tmp_path / "out"), recursive=False)
    assert rec.calls[0][1] == f


@pytest.mark.parametrize(
    "values, type, message",
    [
        ([None, "", "   ", "\u3000", None], None, NO_TEXTS),
        ([], pa.string(), NO_TEXTS),
        ([1, 2, 3], None, "TypeError: parquet column values must be str or None, not int"),
        ([1.5], None, "TypeError: parquet column values must be str or None, not float"),
        ([b"raw"], None, "TypeError: parquet column values must be str or None, not bytes"),
    ],
    ids=["blank", "no-rows", "ints", "floats", "binary"],
)
def test_column_values(tmp_path, values, type, message):
    f = write(tmp_path / "a.parquet", values, type=type)
    assert fails(f, str(tmp_path / "out")) == message


@pytest.mark.parametrize(
    "batches, message",
    [
        ([["ok"], RuntimeError("column broke")], "RuntimeError: column broke"),
        (["a string"], "TypeError: to_pylist() must return a sequence of str or None, not str"),
        ([5], "TypeError: to_pylist() must return a sequence of str or None, not int"),
        ([{"a": 1}], "TypeError: to_pylist() must return a sequence of str or None, not dict"),
        ([("ok", 3)], "TypeError: parquet column values must be str or None, not int"),
        ([[None, None], []], NO_TEXTS),
    ],
    ids=["column-raises", "str", "int", "dict", "tuple-with-int", "nothing"],
)
def test_batch_reading_failures(tmp_path, recorder, batches, message):
    recorder(batches)
    assert fails(str(tmp_path / "any.parquet"), str(tmp_path / "out")) == message


def test_exception_while_iterating_batches(tmp_path, monkeypatch):
    def dataset(source, **kwargs):
        class Scanner:
            def to_batches(self):
                yield _Batch(["fine"])
                raise pa.ArrowInvalid("corrupt page")

        class Dataset:
            def scanner(self, **kwargs):
                return Scanner()

        return Dataset()

    monkeypatch.setattr(pyarrow.dataset, "dataset", dataset)
    assert fails(str(tmp_path), str(tmp_path / "out")) == "ArrowInvalid: corrupt page"


def test_accepts_any_sequence_from_to_pylist(tmp_path, recorder):
    recorder([("a b", None), ["c"]])
    collects(str(tmp_path / "any.parquet"), str(tmp_path / "out"))


@pytest.mark.parametrize("max_docs, batches_taken", [(1, 1), (2, 3), (3, 4), (4, 6), (0, 6), (50, 6)])
def test_max_docs_stops_reading_batches(tmp_path, recorder, max_docs, batches_taken):
    f = write(tmp_path / "a.parquet", ["a", None, "b", "c", " ", "d"])
    rec = recorder()
    collects(f, str(tmp_path / "out"), batch_size=1, max_docs=max_docs, chunk_size=1)
    assert rec.batches_taken == batches_taken


def test_set_up_errors_from_pyarrow_propagate_unchanged(tmp_path):
    f = write(tmp_path / "a.parquet", ["text"])
    with pytest.raises(pa.ArrowInvalid):
        tarvex_rs.train_to_hf_parquet(f, str(tmp_path / "out"), text_column="missing")
    with pytest.raises(FileNotFoundError):
        tarvex_rs.train_to_hf_parquet(str(tmp_path / "nothing.parquet"), str(tmp_path / "out"))
    with pytest.raises(FileNotFoundError):
        tarvex_rs.train_to_hf_parquet(str(tmp_path / "nothing"), str(tmp_path / "out"), recursive=False)
    # ...and come before the options are checked.
    with pytest.raises(pa.ArrowInvalid):
        tarvex_rs.train_to_hf_parquet(f, str(tmp_path / "out"), text_column="missing", n_min=1)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"n_min": 1, "n_max": 0}, "n_min must be >= 2"),
        ({"n_min": 3, "n_max": 2}, "n_max must be >= n_min"),
        ({"n_max": 17}, "n_max must be <= 16"),
        ({"chunk_size": 0}, "chunk_size must be >= 1"),
    ],
)
def test_validation_after_set_up(tmp_path, recorder, kwargs, message):
    f = write(tmp_path / "a.parquet", ["text"])
    rec = recorder()
    assert fails(f, str(tmp_path / "out"), **kwargs) == message
    assert [c[0] for c in rec.calls] == ["dataset", "scanner"]
    assert rec.batches_taken == 0
    # A listing failure is a set-up failure too.
    (tmp_path / "empty").mkdir()
    assert fails(str(tmp_path / "empty"), str(tmp_path / "out"), recursive=False, **kwargs) == (
        "no .parquet files found (recursive=false)"
    )


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads any directory")
def test_unreadable_directory(tmp_path):
    d = tmp_path / "locked"
    d.mkdir()
    d.chmod(0)
    try:
        assert fails(str(d), str(tmp_path / "out"), recursive=False) == (
            "read_dir failed: Permission denied (os error 13)"
        )
    finally:
        d.chmod(0o755)


@pytest.mark.parametrize("before", [None, "x"])
@pytest.mark.parametrize("multi_process", [False, True])
@pytest.mark.parametrize(
    "batches", [[["text"]], [[None]], [[1]], [["a"], RuntimeError("late")]], ids=["trains", "empty", "int", "raises"]
)
def test_mp_py_worker_is_set_while_reading_and_restored(tmp_path, monkeypatch, process_env, before, multi_process,
                                                         batches):
    if before is None:
        process_env.unset("MP_PY_WORKER")
    else:
        process_env.set("MP_PY_WORKER", before)
    seen = []

    class Watching(Recorder):
        def dataset(self, source, **kwargs):
            seen.append(("set-up", process_env.get("MP_PY_WORKER")))
            return super().dataset(source, **kwargs)

    class Column(_Column):
        def to_pylist(self):
            seen.append(("reading", process_env.get("MP_PY_WORKER")))
            return self.values

    monkeypatch.setattr(sys.modules[__name__], "_Column", Column)
    monkeypatch.setattr(pyarrow.dataset, "dataset", Watching(batches).dataset)
    try:
        tarvex_rs.train_to_hf_parquet(str(tmp_path / "x.parquet"), str(tmp_path / "out"), multi_process=multi_process)
    except ValueError:
        pass
    assert seen[:2] == [("set-up", before), ("reading", "1" if multi_process else None)]
    assert process_env.get("MP_PY_WORKER") == before


def test_missing_pyarrow_is_reported_first(tmp_path):
    # A child interpreter in which pyarrow cannot be imported.
    code = (
        "import sys; sys.modules['pyarrow'] = None\n"
        "import tarvex_rs\n"
        "for kwargs in ({}, {'n_min': 1}, {'chunk_size': 0}, {'recursive': False}):\n"
        "    try:\n"
        "        tarvex_rs.train_to_hf_parquet(sys.argv[1], sys.argv[2], **kwargs)\n"
        "    except ValueError as e:\n"
        "        print(e)\n"
    )
    out = subprocess.run(
        [sys.executable, "-c", code, str(tmp_path / "nothing"), str(tmp_path / "out")],
        capture_output=True, text=True, check=True,
    ).stdout
    assert out.splitlines() == ["pyarrow is required for parquet: pip install pyarrow"] * 4
