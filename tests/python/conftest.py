import ctypes
import os

import pytest

_libc = ctypes.CDLL(None)
_libc.getenv.restype = ctypes.c_char_p
_libc.getenv.argtypes = [ctypes.c_char_p]
_libc.setenv.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int]
_libc.unsetenv.argtypes = [ctypes.c_char_p]


class ProcessEnv:
    """The C-level environment, which os.environ only mirrors at start-up."""

    def get(self, name):
        v = _libc.getenv(name.encode())
        return None if v is None else v.decode()

    def set(self, name, value):
        _libc.setenv(name.encode(), value.encode(), 1)

    def unset(self, name):
        _libc.unsetenv(name.encode())


@pytest.fixture
def process_env():
    env = ProcessEnv()
    saved = env.get("MP_PY_WORKER")
    yield env
    if saved is None:
        env.unset("MP_PY_WORKER")
    else:
        env.set("MP_PY_WORKER", saved)


@pytest.fixture(autouse=True)
def _log_in_tmp(tmp_path_factory, monkeypatch):
    # The logger appends to tarvex.log in the working directory; keep test
    # runs from littering the checkout.
    monkeypatch.chdir(tmp_path_factory.getbasetemp())


@pytest.fixture
def corpus(tmp_path):
    def write(content, name="corpus.txt", mode="w"):
        p = tmp_path / name
        if isinstance(content, bytes):
            p.write_bytes(content)
        else:
            p.write_text(content, encoding="utf-8")
        return str(p)

    return write
