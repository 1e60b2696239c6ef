import os
import re
import subprocess
import sys

LINE = re.compile(r"^\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z\]\[pid=(\d+)\]\[init\] "
                  r"multiprocess path: skip single-thread rebuild_global_stats$")

# A multi-process call logs one info line before training starts.
SCRIPT = """
import sys, tarvex_rs
try:
    tarvex_rs.train_to_hf(sys.argv[1], sys.argv[2], multi_process=True)
except ValueError:
    pass
"""


def run(tmp_path, corpus, env_extra):
    env = {k: v for k, v in os.environ.items() if not k.startswith("LOG_")}
    env.update(env_extra)
    return subprocess.run([sys.executable, "-c", SCRIPT, corpus, str(tmp_path / "out")], cwd=tmp_path,
                          env=env, capture_output=True, text=True)


def test_info_line_to_stderr_and_default_file(tmp_path, corpus):
    r = run(tmp_path, corpus("a b\n"), {})
    lines = [l for l in r.stderr.splitlines() if "[init]" in l]
    assert len(lines) == 1 and LINE.match(lines[0]), r.stderr
    assert r.stdout == ""
    logged = (tmp_path / "tarvex.log").read_text().splitlines()
    assert logged == lines
    # Appends, never truncates.
    run(tmp_path, corpus("a b\n"), {})
    assert len((tmp_path / "tarvex.log").read_text().splitlines()) == 2


def test_threshold_and_file_from_environment(tmp_path, corpus):
    log_file = tmp_path / "custom.log"
    r = run(tmp_path, corpus("a b\n"), {"LOG_LEVEL": "warn", "LOG_FILE": str(log_file)})
    assert "[init]" not in r.stderr
    assert not log_file.exists()
    r = run(tmp_path, corpus("a b\n"), {"LOG_FILE": str(tmp_path / "no" / "such" / "dir.log")})
    assert any(LINE.match(l) for l in r.stderr.splitlines()), r.stderr
