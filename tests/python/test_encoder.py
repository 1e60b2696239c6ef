"""DpTokenizer: construction from vocab.json, encode and encode_batch."""

import inspect
import json
import sys
import threading

import pytest

import tarvex_rs
from tarvex_rs import DpTokenizer

from export_dir import export_vocab

G = "\u0120"  # END_TOKEN
SWITCHES = ("TARVEX_FORBID_END_INNER", "TARVEX_CROSS_WORD_WHOLE_ONLY", "TARVEX_FORBID_PUNCT_TOKENS")


@pytest.fixture(autouse=True)
def _no_switches(monkeypatch):
    for name in SWITCHES:
        monkeypatch.delenv(name, raising=False)


def write_vocab(tmp_path, tokens, name="vocab.json"):
    """Writes tokens (specials first) as exported; returns (path, token -> id)."""
    vocab = export_vocab(tokens)
    path = tmp_path / name
    path.write_text(json.dumps(vocab, ensure_ascii=False, indent=2, sort_keys=True) + "\n", encoding="utf-8")
    return str(path), vocab


def ids(vocab, *tokens):
    return [vocab[t] for t in tokens]


# ---- construction -----------------------------------------------------------


def test_signatures_and_docstrings():
    assert str(inspect.signature(DpTokenizer)) == "(vocab_file, unk_token=None)"
    assert list(inspect.signature(DpTokenizer.encode).parameters) == ["self", "text"]
    assert list(inspect.signature(DpTokenizer.encode_batch).parameters) == ["self", "texts"]
    assert DpTokenizer.encode.__doc__ == "encode：返回 token id 列表（DP 最少 token，无法匹配时用 unk 兜底）"
    assert DpTokenizer.encode_batch.__doc__ == "批量 encode：释放 GIL，适合大吞吐"
    assert tarvex_rs.DpTokenizer is DpTokenizer


def test_unknown_token_choice(tmp_path):
    path, vocab = write_vocab(tmp_path, ["a"])
    unknown = "\u2603"
    assert DpTokenizer(path).encode(unknown) == [0, 0]
    assert DpTokenizer(path, None).encode(unknown) == [0, 0]
    assert DpTokenizer(path, unk_token="<pad>").encode(unknown) == [1, 1]
    assert DpTokenizer(vocab_file=path, unk_token="a").encode(unknown) == [vocab["a"]] * 2


@pytest.mark.parametrize(
    "text",
    [
        "\ufeff{}",
        "[1, 2]",
        '{"<unk>": 1.5}',
        '{"<unk>": -1}',
        '{"<unk>": 4294967296}',
        '{"<unk>": 0} trailing',
        '{"<unk>": 0,}',
        '{"<unk>" 0}',
        '{"<unk>": "0"}',
        '{"<unk>": 0',
        "",
    ],
    ids=["bom", "array", "fraction", "negative", "too-large", "trailing", "trailing-comma", "no-colon",
         "string-value", "unterminated", "empty"],
)
def test_malformed_vocab_json(tmp_path, text):
    path = tmp_path / "vocab.json"
    path.write_text(text, encoding="utf-8")
    with pytest.raises(ValueError, match=r"^parse vocab\.json failed: .* at line \d+ column \d+$"):
        DpTokenizer(str(path))


def test_invalid_utf8_in_vocab(tmp_path):
    path = tmp_path / "vocab.json"
    path.write_bytes(b'{"<unk>": 0, "\xff": 1}')
    with pytest.raises(ValueError, match=r"^parse vocab\.json failed: invalid UTF-8 at line 1 column 15$"):
        DpTokenizer(str(path))


def test_missing_file(tmp_path):
    with pytest.raises(ValueError, match=r"^open vocab failed: No such file or directory"):
        DpTokenizer(str(tmp_path / "nope.json"))


@pytest.mark.parametrize(
    "tokens,unk,message",
    [
        ([], "<none>", 'unk_token "<none>" not found in vocab'),
        ([], 'a"b\\c\t', 'unk_token "a\\"b\\\\c\\t" not found in vocab'),
        ([], "\x00", 'unk_token "\\u{0}" not found in vocab'),
    ],
)
def test_unknown_token_not_in_vocab(tmp_path, tokens, unk, message):
    path, _ = write_vocab(tmp_path, tokens)
    with pytest.raises(ValueError) as e:
        DpTokenizer(path, unk)
    assert str(e.value) == message


def test_missing_default_unk(tmp_path):
    path = tmp_path / "vocab.json"
    path.write_text('{"a": 0}', encoding="utf-8")
    with pytest.raises(ValueError) as e:
        DpTokenizer(str(path))
    assert str(e.value) == 'unk_token "<unk>" not found in vocab'
    path.write_text("{}", encoding="utf-8")
    with pytest.raises(ValueError, match="not found in vocab"):
        DpTokenizer(str(path))


def test_argument_types(tmp_path):
    path, _ = write_vocab(tmp_path, ["a"])
    cases = [
        lambda: DpTokenizer(tmp_path / "vocab.json"),  # a path object is not a str
        lambda: DpTokenizer(path, 5),
        lambda: DpTokenizer(),
        lambda: DpTokenizer(path, None, None),
        lambda: DpTokenizer(path, bogus=1),
        lambda: DpTokenizer(path).encode(b"a"),
        lambda: DpTokenizer(path).encode(None),
        lambda: DpTokenizer(path).encode(),
    ]
    for call in cases:
        with pytest.raises(TypeError):
            call()


def test_duplicate_names_keep_the_later_value(tmp_path):
    path = tmp_path / "vocab.json"
    path.write_text('{"<unk>": 0, "a": 1, "a": 7, "b": 2}', encoding="utf-8")
    assert DpTokenizer(str(path)).encode("ab") == [7, 2, 0]


# ---- encode -----------------------------------------------------------------

CASES = [
    # (vocabulary without specials, text, expected tokens; "<unk>" for unknown)
    (["a", G], "", []),
    (["a", G], " \t\r\n ", []),
    (["a", "b", "c", "ab", "bc", G], "abc", ["ab", "c", G]),
    (["a", "b", G, "ab" + G], "ab", ["ab" + G]),
    (["a", G], "a\u2603\u2603", ["a", "<unk>", "<unk>", G]),
    (["x"], "x y", ["x", "<unk>", "<unk>", "<unk>"]),
    (["ab", "b", "c", "d", G, "bcd" + G], "abcd", ["ab", "c", "d", G]),
    (["hello" + G, "world" + G, "o" + G + "w", "hell", "orld" + G], "  hello\u00a0world\u3000", ["hello" + G, "world" + G]),
    (["a", G, "\u200b"], "a\u200ba", ["a", "\u200b", "a", G]),
    (["a", G, "\x1f"], "a\x1fa", ["a", "\x1f", "a", G]),
    (["\U0001f600" + G, "\U0001f600"], "\U0001f600 \U0001f600\U0001f600", ["\U0001f600" + G, "\U0001f600", "\U0001f600" + G]),
]


@pytest.mark.parametrize("tokens,text,want", CASES)
def test_encode(tmp_path, tokens, text, want):
    path, vocab = write_vocab(tmp_path, tokens)
    tok = DpTokenizer(path)
    assert tok.encode(text) == ids(vocab, *want)
    assert tok.encode(text=text) == ids(vocab, *want)


def test_surrogates_raise_the_encoding_error(tmp_path):
    path, _ = write_vocab(tmp_path, ["a"])
    tok = DpTokenizer(path)
    with pytest.raises(UnicodeEncodeError):
        tok.encode("a\ud800")
    with pytest.raises(UnicodeEncodeError):
        tok.encode_batch(["a", "\udc00"])


# ---- switches -----------------------------------------------------------------


def test_forbid_end_inner_is_on_for_any_value(tmp_path, monkeypatch):
    path, vocab = write_vocab(tmp_path, ["a", "b", G, "a" + G + "b", "ab" + G])
    assert DpTokenizer(path).encode("a bc") == ids(vocab, "a" + G + "b", "<unk>", G)
    monkeypatch.setenv("TARVEX_FORBID_END_INNER", "0")
    tok = DpTokenizer(path)
    assert tok.encode("a b") == ids(vocab, "a", G, "b", G)
    assert tok.encode("ab") == ids(vocab, "ab" + G)


def test_cross_word_whole_only(tmp_path, monkeypatch):
    tokens = ["a", "x", "y", G, "x" + G + "y" + G, "x" + G + "y", G + "x" + G]
    path, vocab = write_vocab(tmp_path, tokens)
    monkeypatch.setenv("TARVEX_CROSS_WORD_WHOLE_ONLY", "")
    tok = DpTokenizer(path)
    assert tok.encode("x y") == ids(vocab, "x" + G + "y" + G)
    assert tok.encode("ax y") == ids(vocab, "a", "x", G, "y", G)
    assert tok.encode("a x y") == ids(vocab, "a", G, "x" + G + "y" + G)
    # x Ġ y and Ġ x Ġ are dropped: not whole words.
    assert tok.encode("x yx") == ids(vocab, "x", G, "y", "x", G)
    # Ignored while end-inner tokens are forbidden outright.
    monkeypatch.setenv("TARVEX_FORBID_END_INNER", "1")
    assert DpTokenizer(path).encode("x y") == ids(vocab, "x", G, "y", G)


def test_forbid_punct_tokens(tmp_path, monkeypatch):
    tokens = ["a", "b", ",", G, "a,", "ab" + G, "\u00e9" + G, ",b" + G]
    path, vocab = write_vocab(tmp_path, tokens)
    monkeypatch.setenv("TARVEX_FORBID_PUNCT_TOKENS", "no")
    tok = DpTokenizer(path)
    assert tok.encode("a,b") == ids(vocab, "a", ",", "b", G)
    assert tok.encode("ab \u00e9") == ids(vocab, "ab" + G, "\u00e9" + G)
    # The unknown token is resolved before filtering ("<unk>" has punctuation).
    assert tok.encode("?") == [0, vocab[G]]


# ---- encode_batch -------------------------------------------------------------


class Seq:
    """A sequence that is neither a list nor a tuple."""

    def __init__(self, items, length=1000):
        self.items = items
        self.length = length

    def __len__(self):
        return self.length  # only a size hint

    def __getitem__(self, i):
        return self.items[i]


def test_encode_batch_equals_encode(tmp_path):
    path, vocab = write_vocab(tmp_path, ["a", "b", "ab", "ba", G, "a" + G, "b" + G + "a", "\u4e2d"])
    tok = DpTokenizer(path)
    texts = ["a b", "", "abba ab", "\u4e2d\u4e2d a", "  ", "ba" * 300, "a\u2603b"] * 50
    assert tok.encode_batch(texts) == [tok.encode(t) for t in texts]
    assert tok.encode_batch(tuple(texts)) == [tok.encode(t) for t in texts]
    assert tok.encode_batch(Seq(texts[:5])) == [tok.encode(t) for t in texts[:5]]
    assert tok.encode_batch(Seq(texts[:5], length=10**15)) == [tok.encode(t) for t in texts[:5]]
    assert tok.encode_batch([]) == []
    assert tok.encode_batch(("a b", "")) == [ids(vocab, "a" + G, "b", G), []]
    assert tok.encode_batch(texts=["ab"]) == [tok.encode("ab")]


def test_encode_batch_rejections(tmp_path):
    path, _ = write_vocab(tmp_path, ["a"])
    tok = DpTokenizer(path)
    with pytest.raises(TypeError) as e:
        tok.encode_batch("ab")
    assert str(e.value) == "argument 'texts': Can't extract `str` to `Vec`"
    for bad in (5, None, {"a": 1}.keys(), (t for t in ["a"]), ["a", 3], ("a", b"b")):
        with pytest.raises(TypeError, match="^argument 'texts': "):
            tok.encode_batch(bad)


def test_failed_calls_leak_no_references(tmp_path):
    path, _ = write_vocab(tmp_path, ["a"])
    tok = DpTokenizer(path)
    text = "".join(["a", "b"])  # a fresh object, not interned
    items = [text, text, 7]
    before_text, before_items = sys.getrefcount(text), sys.getrefcount(items)
    for _ in range(100):
        with pytest.raises(TypeError):
            tok.encode_batch(items)
        tok.encode_batch(items[:2])
    assert sys.getrefcount(text) == before_text
    assert sys.getrefcount(items) == before_items
    type_refs = sys.getrefcount(DpTokenizer)
    for _ in range(100):
        with pytest.raises(ValueError):
            DpTokenizer(str(tmp_path / "missing.json"))
        DpTokenizer(path)  # made and dropped
    assert sys.getrefcount(DpTokenizer) == type_refs


def test_encode_batch_releases_the_lock(tmp_path):
    # While one thread runs a large batch, another Python thread makes
    # progress; both see consistent results from the shared tokenizer.
    path, _ = write_vocab(tmp_path, ["a", "b", "ab", G])
    tok = DpTokenizer(path)
    texts = ["ab ba " * 200] * 400
    want = tok.encode(texts[0])
    results = []

    def worker():
        results.append(tok.encode_batch(texts))

    threads = [threading.Thread(target=worker) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 3
    assert all(r == [want] * len(texts) for r in results)


def test_very_long_text(tmp_path):
    # Longer than the per-thread buffers the encoder keeps between texts.
    path, vocab = write_vocab(tmp_path, ["ab", "a", "b", G, "ab" + G])
    tok = DpTokenizer(path)
    text = "ab " * 500_000 + "ba"
    want = [vocab["ab" + G]] * 500_000 + ids(vocab, "b", "a", G)
    assert tok.encode(text) == want
    assert tok.encode_batch([text, "ab"]) == [want, [vocab["ab" + G]]]
    assert tok.encode("ab") == [vocab["ab" + G]]
