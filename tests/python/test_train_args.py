"""Argument validation of the training entry points: fixed messages, checked
before any corpus is read or out_dir is touched."""

import pytest

import tarvex_rs


def _call(fn_name, tmp_path, **kwargs):
    out_dir = tmp_path / "out"
    if fn_name == "train_to_hf":
        corpus = tmp_path / "missing.txt"  # never opened when validation fails
        tarvex_rs.train_to_hf(str(corpus), str(out_dir), **kwargs)
    else:
        tarvex_rs.train_to_hf_iter(iter(["a b", "a c"]), str(out_dir), **kwargs)


VALIDATION_CASES = [
    (dict(n_min=1), "n_min must be >= 2"),
    (dict(n_min=0, n_max=0), "n_min must be >= 2"),  # n_min is checked first
    (dict(n_min=3, n_max=2), "n_max must be >= n_min"),
    (dict(n_max=17), "n_max must be <= 16"),
    (dict(n_min=17, n_max=17), "n_max must be <= 16"),
    (dict(n_max=2**40), "n_max must be <= 16"),
]


@pytest.mark.parametrize("fn_name", ["train_to_hf", "train_to_hf_iter"])
@pytest.mark.parametrize("kwargs,message", VALIDATION_CASES)
def test_validation_messages(tmp_path, fn_name, kwargs, message):
    with pytest.raises(ValueError) as err:
        _call(fn_name, tmp_path, **kwargs)
    assert str(err.value) == message
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize(
    "kwargs,message",
    [
        (dict(chunk_size=0), "chunk_size must be >= 1"),
        (dict(n_min=1, chunk_size=0), "n_min must be >= 2"),
        (dict(n_max=17, chunk_size=0), "n_max must be <= 16"),
    ],
)
def test_iter_chunk_size(tmp_path, kwargs, message):
    with pytest.raises(ValueError) as err:
        _call("train_to_hf_iter", tmp_path, **kwargs)
    assert str(err.value) == message


def test_n_max_16_passes_validation(tmp_path):
    # The call then fails on the missing corpus file, not on validation.
    with pytest.raises(ValueError) as err:
        _call("train_to_hf", tmp_path, n_max=16)
    assert "must be" not in str(err.value)
    assert "os error 2" in str(err.value)
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize(
    "kwargs,exc",
    [
        (dict(n_max="6"), TypeError),
        (dict(n_max=-1), OverflowError),
        (dict(use_heap=1), TypeError),
        (dict(num_merges=1.5), TypeError),
    ],
)
def test_argument_types(tmp_path, kwargs, exc):
    with pytest.raises(exc):
        _call("train_to_hf", tmp_path, **kwargs)


def test_failed_training_writes_nothing(tmp_path):
    corpus = tmp_path / "blank.txt"
    corpus.write_text("\n   \n\t\n", encoding="utf-8")
    out_dir = tmp_path / "out"
    with pytest.raises(ValueError) as err:
        tarvex_rs.train_to_hf(str(corpus), str(out_dir))
    assert str(err.value) == f"corpus is empty: {corpus}"
    assert not out_dir.exists()
