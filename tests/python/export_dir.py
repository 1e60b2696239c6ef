"""Test helper: writes a tokenizer directory in the exporter's format.

The layout follows what training writes (byte-sorted vocab.json with the five
special tokens at ids 0-4, the two JSON configs, and the emitted module with
CR LF line ends), so encoder and module tests need no training run.
"""

import json
import pathlib

ROOT = pathlib.Path(__file__).resolve().parents[2]
MODULE_SOURCE = ROOT / "src" / "export" / "tokenization_tarvex.py"
SPECIALS = ["<unk>", "<pad>", "<s>", "</s>", "<mask>"]


def module_text_crlf():
    return MODULE_SOURCE.read_bytes().replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


def _dump(path, obj):
    path.write_text(json.dumps(obj, ensure_ascii=False, indent=2, sort_keys=True) + "\n", encoding="utf-8")


def export_vocab(tokens):
    """Specials first, then byte order of the UTF-8 texts (= code point order)."""
    rest = sorted(set(tokens) - set(SPECIALS))
    return {t: i for i, t in enumerate(SPECIALS + rest)}


def write_export_dir(out_dir, tokens):
    out = pathlib.Path(out_dir)
    out.mkdir(parents=True, exist_ok=True)
    vocab = export_vocab(tokens)
    _dump(out / "vocab.json", vocab)
    _dump(
        out / "tokenizer_config.json",
        {
            "auto_map": {"AutoTokenizer": ["tokenization_tarvex.Tarvex", None]},
            "bos_token": "<s>",
            "eos_token": "</s>",
            "mask_token": "<mask>",
            "model_max_length": 1000000000,
            "pad_token": "<pad>",
            "tokenizer_class": "Tarvex",
            "unk_token": "<unk>",
        },
    )
    _dump(
        out / "special_tokens_map.json",
        {"bos_token": "<s>", "eos_token": "</s>", "mask_token": "<mask>", "pad_token": "<pad>", "unk_token": "<unk>"},
    )
    (out / "tokenization_tarvex.py").write_bytes(module_text_crlf())
    return vocab
