#!/usr/bin/env python3
"""Writes a small default corpus: the docstrings of the installed standard library.

One text per line (each docstring paragraph joined into one line), so the
main job runs without downloading anything.
"""
import importlib
import inspect
import sys
import warnings

SKIP = {"antigravity", "this", "idlelib", "tkinter", "turtle", "turtledemo", "test", "lib2to3", "ensurepip"}


def docstrings(module):
    doc = inspect.getdoc(module)
    if doc:
        yield doc
    for _, obj in sorted(vars(module).items()):
        if getattr(obj, "__module__", None) != module.__name__:
            continue
        if inspect.isclass(obj) or inspect.isfunction(obj):
            d = inspect.getdoc(obj)
            if d:
                yield d
        if inspect.isclass(obj):
            for _, member in sorted(vars(obj).items()):
                if inspect.isfunction(member) and member.__doc__:
                    yield inspect.cleandoc(member.__doc__)


def main():
    out_path = sys.argv[1]
    names = sorted(n for n in sys.stdlib_module_names if n not in SKIP and not n.startswith("_"))
    seen = set()
    lines = 0
    with open(out_path, "w", encoding="utf-8", newline="\n") as out:
        for name in names:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                try:
                    module = importlib.import_module(name)
                except BaseException:  # some modules refuse to import here; skip them
                    continue
            for doc in docstrings(module):
                for para in doc.split("\n\n"):
                    text = " ".join(para.split())
                    if text and text not in seen:
                        seen.add(text)
                        out.write(text + "\n")
                        lines += 1
    print(f"wrote {lines} lines to {out_path}")


if __name__ == "__main__":
    main()
