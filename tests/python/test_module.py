import inspect
import subprocess
import sys

import pytest
import tarvex_rs

EXPORTED = ["__version__", "END_TOKEN", "DpTokenizer", "train_to_hf", "train_to_hf_iter", "train_to_hf_parquet",
            "_run_worker"]

COMMON_TAIL = ("n_min=2, forbid_punct_word_mix=False, forbid_punct_tokens=False, allow_space_punct_tokens=False, "
               "allow_abbrev_tokens=False, allow_hyphen_tokens=False, allow_word_final_punct_tokens=False, "
               "allow_apostrophe_tokens=False, allow_cross_word_punct_word_mix_tokens=False, "
               "cross_word_start_vocab=0, max_token_words=0, forbid_incomplete_cross_word=False)")


def test_attributes_in_order():
    assert tarvex_rs.__all__ == EXPORTED
    names = [n for n in vars(tarvex_rs) if n in EXPORTED]
    assert names == EXPORTED
    assert tarvex_rs.__version__ == "0.1.10"
    assert tarvex_rs.END_TOKEN == "\u0120"
    assert tarvex_rs.END_TOKEN.encode() == b"\xc4\xa0"


@pytest.mark.parametrize("name, text", [
    ("train_to_hf", "(corpus_file, out_dir, num_merges=50000, aim_token_num=20000, n_max=6, max_token_chars=0, "
                    "num_workers=0, multi_process=False, use_heap=False, " + COMMON_TAIL),
    ("train_to_hf_iter", "(texts, out_dir, num_merges=50000, aim_token_num=20000, n_max=6, max_token_chars=0, "
                         "num_workers=0, multi_process=False, use_heap=False, max_docs=0, chunk_size=4096, "
                         + COMMON_TAIL),
    ("train_to_hf_parquet", "(parquet_path, out_dir, text_column='text', max_docs=0, batch_size=8192, "
                            "recursive=True, num_merges=50000, aim_token_num=20000, n_max=6, max_token_chars=0, "
                            "num_workers=0, multi_process=False, use_heap=False, chunk_size=4096, " + COMMON_TAIL),
    ("_run_worker", "()"),
])
def test_signatures(name, text):
    fn = getattr(tarvex_rs, name)
    assert str(inspect.signature(fn)) == text


def test_docs():
    assert tarvex_rs.train_to_hf.__doc__ in (None, "")
    assert tarvex_rs._run_worker.__doc__ == ("worker 入口：供 multi-process 训练时子进程调用（不要在普通代码里直接用）")


def test_reimport_returns_cached_module():
    code = ("import sys, importlib, tarvex_rs\n"
            "m = tarvex_rs\n"
            "del sys.modules['tarvex_rs']\n"
            "import tarvex_rs as again\n"
            "assert again is m, 'module object not cached'\n")
    subprocess.run([sys.executable, "-c", code], check=True)


def test_sub_interpreter_import_fails():
    code = (
        "import _xxsubinterpreters as interpreters\n"
        "for isolated in (True, False):\n"
        "    interp = interpreters.create(isolated=isolated)\n"
        "    interpreters.run_string(interp, '''\n"
        "try:\n"
        "    import tarvex_rs\n"
        "except ImportError:\n"
        "    pass\n"
        "else:\n"
        "    raise SystemExit('imported in a sub-interpreter')\n"
        "''')\n"
        "    interpreters.destroy(interp)\n"
        "import tarvex_rs\n"
    )
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
