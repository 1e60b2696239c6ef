"""train_to_hf_iter: reading texts from any Python iterable."""
import os
import threading
import time

import pytest

import tarvex_rs

def collects(fn, texts, out, **kwargs):
    """Runs a training call that must get through to a written directory."""
    fn(texts, out, **kwargs)
    assert os.path.exists(os.path.join(out, "vocab.json"))


class Boom(Exception):
    pass


def failing_gen():
    yield "fine text"
    raise Boom("the source broke")


class BadStr:
    def __str__(self):
        raise RuntimeError("no")


class BadIterable:
    def __iter__(self):
        raise KeyError("nope")


@pytest.mark.parametrize(
    "texts, message",
    [
        ([], "no training texts (empty iterator?)"),
        (["", "  ", "\t\n", "\u3000"], "no training texts (empty iterator?)"),
        (iter(()), "no training texts (empty iterator?)"),
        ("", "no training texts (empty iterator?)"),
        (5, "TypeError: 'int' object is not iterable"),
        (None, "TypeError: 'NoneType' object is not iterable"),
        (BadIterable(), "KeyError: 'nope'"),
        (failing_gen(), "Boom: the source broke"),
        (["ok", 5], "TypeError: texts must yield str, not int"),
        (["ok", b"bytes"], "TypeError: texts must yield str, not bytes"),
        ([None], "TypeError: texts must yield str, not NoneType"),
        (["ok", "lone \ud800 surrogate"], "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' "
         "in position 5: surrogates not allowed"),
    ],
    ids=["empty", "blank", "empty-iter", "empty-str", "int", "none", "iter-raises", "gen-raises", "int-item",
         "bytes-item", "none-item", "surrogate"],
)
def test_reading_failures(tmp_path, texts, message):
    with pytest.raises(ValueError) as e:
        tarvex_rs.train_to_hf_iter(texts, str(tmp_path / "out"))
    assert str(e.value) == message
    assert not (tmp_path / "out").exists()


def test_exception_whose_str_fails_is_still_reported(tmp_path):
    class Odd(Exception):
        def __str__(self):
            raise RuntimeError("cannot print")

    def gen():
        raise Odd()
        yield  # pragma: no cover

    with pytest.raises(ValueError) as e:
        tarvex_rs.train_to_hf_iter(gen(), str(tmp_path / "out"))
    assert str(e.value) == "test_exception_whose_str_fails_is_still_reported.<locals>.Odd: <exception str() failed>"


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"n_min": 1, "n_max": 0}, "n_min must be >= 2"),
        ({"n_min": 3, "n_max": 2}, "n_max must be >= n_min"),
        ({"chunk_size": 0}, "chunk_size must be >= 1"),
    ],
)
def test_validation_comes_before_reading(tmp_path, kwargs, message):
    requested = []

    def gen():
        requested.append(1)
        yield "text"

    with pytest.raises(ValueError) as e:
        tarvex_rs.train_to_hf_iter(gen(), str(tmp_path / "out"), **kwargs)
    assert str(e.value) == message
    assert requested == []


@pytest.mark.parametrize(
    "max_docs, texts, requested",
    [
        (2, [f"text {i}" for i in range(10)], 2),
        (2, ["", " ", "a", "\n", "b", "c"], 5),
        (1, ["x"] * 3, 1),
        (0, [f"text {i}" for i in range(10)], 10),
        (20, [f"text {i}" for i in range(10)], 10),
    ],
)
@pytest.mark.parametrize("chunk_size", [1, 4096])
def test_max_docs_stops_asking_for_texts(tmp_path, max_docs, texts, requested, chunk_size):
    given = []
    closed = []

    def gen():
        try:
            for t in texts:
                given.append(t)
                yield t
        finally:
            closed.append(True)

    collects(tarvex_rs.train_to_hf_iter, gen(), str(tmp_path / "out"), max_docs=max_docs, chunk_size=chunk_size)
    assert len(given) == requested
    # The iterator is let go of before training, so the generator is closed.
    assert closed == [True]


def test_accepts_any_iterable(tmp_path):
    corpus = tmp_path / "corpus.txt"
    corpus.write_text("first line\n\nsecond line\n", encoding="utf-8")
    with open(corpus, encoding="utf-8") as f:
        collects(tarvex_rs.train_to_hf_iter, f, str(tmp_path / "out1"))
    collects(tarvex_rs.train_to_hf_iter, ("a b", "c"), str(tmp_path / "out2"))
    collects(tarvex_rs.train_to_hf_iter, {"a b": 1}.keys(), str(tmp_path / "out3"))
    collects(tarvex_rs.train_to_hf_iter, "abc", str(tmp_path / "out4"))  # a str yields its characters

    class Sub(str):
        pass

    collects(tarvex_rs.train_to_hf_iter, [Sub("sub class"), "caf\u00e9 \U0001F600"], str(tmp_path / "out5"))


def test_long_text_in_caller_list_gets_no_cached_utf8(tmp_path):
    import sys

    texts = ["\u00e9t\u00e9 " * 1000 for _ in range(4)]
    before = [sys.getsizeof(t) for t in texts]
    collects(tarvex_rs.train_to_hf_iter, texts, str(tmp_path / "out"))
    assert [sys.getsizeof(t) for t in texts] == before


@pytest.mark.parametrize("before", [None, "x", "", "0"])
@pytest.mark.parametrize("multi_process", [False, True])
@pytest.mark.parametrize(
    "texts",
    [["some text"], [], [5], failing_gen],
    ids=["trains", "empty", "bad-item", "gen-raises"],
)
def test_mp_py_worker_is_set_while_reading_and_restored(tmp_path, process_env, before, multi_process, texts):
    if before is None:
        process_env.unset("MP_PY_WORKER")
    else:
        process_env.set("MP_PY_WORKER", before)
    seen = []

    def observed():
        seen.append(process_env.get("MP_PY_WORKER"))
        yield from (texts() if callable(texts) else texts)

    try:
        tarvex_rs.train_to_hf_iter(observed(), str(tmp_path / "out"), multi_process=multi_process)
    except ValueError:
        pass
    assert seen == ["1" if multi_process else None]
    assert process_env.get("MP_PY_WORKER") == before


def test_validation_failure_leaves_mp_py_worker_alone(process_env):
    process_env.set("MP_PY_WORKER", "x")
    with pytest.raises(ValueError, match="n_min must be >= 2"):
        tarvex_rs.train_to_hf_iter(["a"], "/nonexistent/out", multi_process=True, n_min=1)
    assert process_env.get("MP_PY_WORKER") == "x"


def test_other_threads_run_while_a_chunk_is_counted(tmp_path):
    # A chunk of a few long texts takes a while to count. The counter thread
    # can only tick during that time if the call let go of the interpreter.
    chunk = 4
    text = " ".join(f"w{i % 5000}x" for i in range(400_000))  # ~3 MB of varied words
    ticks = []
    stop = threading.Event()

    def counter():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.0005)

    window = []

    def gen():
        for i in range(chunk):
            if i == chunk - 1:
                window.append(time.monotonic())
            yield text + str(i)
        # Resumed only after the full chunk has been counted; failing here
        # spares the test the training.
        window.append(time.monotonic())
        raise Boom("enough")

    t = threading.Thread(target=counter)
    t.start()
    try:
        with pytest.raises(ValueError, match="^Boom: enough$"):
            tarvex_rs.train_to_hf_iter(gen(), str(tmp_path / "out"), chunk_size=chunk, num_workers=1)
    finally:
        stop.set()
        t.join()
    start, end = window
    during = [x for x in ticks if start < x < end]
    assert end - start > 0.02, "counting was too quick to tell"
    assert len(during) >= 5, f"{len(during)} ticks in {end - start:.3f}s"


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit])
def test_interruption_from_the_iterable_propagates_as_itself(tmp_path, process_env, exc_type):
    # Ctrl-C while texts are being read must stop the program, not turn into
    # a ValueError that `except ValueError` handlers would swallow.
    process_env.set("MP_PY_WORKER", "x")

    def gen():
        yield "some text"
        raise exc_type("stop")

    with pytest.raises(exc_type):
        tarvex_rs.train_to_hf_iter(gen(), str(tmp_path / "out"))
    assert process_env.get("MP_PY_WORKER") == "x"
    assert not (tmp_path / "out").exists()
    # Nothing of the interruption lingers into the next call.
    with pytest.raises(ValueError, match="no training texts"):
        tarvex_rs.train_to_hf_iter([], str(tmp_path / "out"))
