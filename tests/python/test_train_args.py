import os

import pytest
import tarvex_rs


@pytest.mark.parametrize("kwargs, exc, fragment", [
    ({"corpus_file": 3}, TypeError, "corpus_file"),
    ({"out_dir": b"x"}, TypeError, "out_dir"),
    ({"num_merges": "5"}, TypeError, "num_merges"),
    ({"num_merges": -1}, OverflowError, "num_merges"),
    ({"aim_token_num": 1.5}, TypeError, "aim_token_num"),
    ({"n_max": -6}, OverflowError, "n_max"),
    ({"multi_process": 1}, TypeError, "multi_process"),
    ({"use_heap": None}, TypeError, "use_heap"),
    ({"forbid_incomplete_cross_word": "yes"}, TypeError, "forbid_incomplete_cross_word"),
    ({"cross_word_start_vocab": 2 ** 64}, OverflowError, "cross_word_start_vocab"),
])
def test_conversion_errors_name_the_argument(corpus, tmp_path, kwargs, exc, fragment):
    args = {"corpus_file": corpus("a b\n"), "out_dir": str(tmp_path / "out")}
    args.update(kwargs)
    with pytest.raises(exc, match=fragment):
        tarvex_rs.train_to_hf(**args)


def test_conversion_in_signature_order(tmp_path):
    # The first failing argument in signature order is the one reported.
    with pytest.raises(TypeError, match="corpus_file"):
        tarvex_rs.train_to_hf(1, 2, num_merges="x")
    with pytest.raises(TypeError, match="num_merges"):
        tarvex_rs.train_to_hf("c", "o", num_merges="x", n_min=-1)
    with pytest.raises(TypeError, match="missing required argument 'out_dir'"):
        tarvex_rs.train_to_hf("c")
    with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
        tarvex_rs.train_to_hf("c", "o", bogus=1)
    with pytest.raises(TypeError, match="multiple values"):
        tarvex_rs.train_to_hf("c", "o", corpus_file="c")


FUNCS = {
    "file": lambda out, **kw: tarvex_rs.train_to_hf("missing.txt", out, **kw),
    "iter": lambda out, **kw: tarvex_rs.train_to_hf_iter(iter(["a b"]), out, **kw),
}


@pytest.mark.parametrize("source", sorted(FUNCS))
@pytest.mark.parametrize("kwargs, message", [
    ({"n_min": 1}, "n_min must be >= 2"),
    ({"n_min": 1, "n_max": 0}, "n_min must be >= 2"),
    ({"n_min": 0}, "n_min must be >= 2"),
    ({"n_min": 3, "n_max": 2}, "n_max must be >= n_min"),
    ({"n_max": 17}, "n_max must be <= 16"),
    ({"n_min": 17, "n_max": 17}, "n_max must be <= 16"),
    ({"n_max": 2 ** 40}, "n_max must be <= 16"),
])
def test_validation_messages(tmp_path, source, kwargs, message):
    with pytest.raises(ValueError) as e:
        FUNCS[source](str(tmp_path / "out"), **kwargs)
    assert str(e.value) == message
    assert not (tmp_path / "out").exists()


def test_n_max_16_passes_validation(tmp_path):
    # The longest window merge application supports: the call goes on and
    # fails only on the missing corpus file.
    with pytest.raises(ValueError) as e:
        FUNCS["file"](str(tmp_path / "out"), n_max=16)
    assert "No such file or directory" in str(e.value)


def test_chunk_size_zero_rejected(tmp_path):
    with pytest.raises(ValueError) as e:
        tarvex_rs.train_to_hf_iter([], str(tmp_path / "o"), chunk_size=0)
    assert str(e.value) == "chunk_size must be >= 1"


@pytest.mark.parametrize("content, message", [
    (" \n\t\n\r\n", "corpus is empty: {path}"),
    ("", "corpus is empty: {path}"),
    (b"fine\n\xff\xfe bad\n", "read corpus file {path}: line 2: stream did not contain valid UTF-8"),
])
def test_corpus_errors(corpus, tmp_path, content, message):
    path = corpus(content)
    out = tmp_path / "out"
    with pytest.raises(ValueError) as e:
        tarvex_rs.train_to_hf(path, str(out))
    assert str(e.value) == message.format(path=path)
    assert not out.exists()


def test_missing_corpus_reports_os_error(tmp_path):
    with pytest.raises(ValueError, match="No such file or directory"):
        tarvex_rs.train_to_hf(str(tmp_path / "nope.txt"), str(tmp_path / "out"))


@pytest.mark.parametrize("before", [None, "x", ""])
@pytest.mark.parametrize("multi_process", [False, True])
def test_mp_py_worker_restored(process_env, corpus, tmp_path, before, multi_process):
    if before is None:
        process_env.unset("MP_PY_WORKER")
    else:
        process_env.set("MP_PY_WORKER", before)
    paths = [corpus("a b\n"), corpus("  \n", name="empty.txt")]
    for path in paths:
        try:
            tarvex_rs.train_to_hf(path, str(tmp_path / "out"), multi_process=multi_process, num_merges=0)
        except ValueError:
            pass
        assert process_env.get("MP_PY_WORKER") == before
    # Validation errors come before the environment is touched at all.
    with pytest.raises(ValueError):
        tarvex_rs.train_to_hf(paths[0], str(tmp_path / "out"), n_min=1, multi_process=multi_process)
    assert process_env.get("MP_PY_WORKER") == before
