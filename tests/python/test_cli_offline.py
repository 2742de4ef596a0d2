"""`--offline` and `tovrane demo`: no key, no network, loopback only; and the cost estimate."""

from __future__ import annotations

import csv
import os
import re
import subprocess
import sys

import pytest

from support.class_model import script_class
from support.cli import FAST, SAMPLE_CLASS, cli_env, run_cli, sample_manifest, sample_sheets
from support.fake_openai import FakeOpenAIServer

# Imported at start-up by every Python process that finds it first on its path: refuses, and
# notes, any connection or name lookup that is not the loopback.
NETWORK_GUARD = r'''
import os, socket

_LOG = os.environ["TOVRANE_TEST_NETLOG"]
_LOOPBACK = {"127.0.0.1", "::1", "localhost"}


def _refuse(what):
    with open(_LOG, "a", encoding="utf-8") as log:
        log.write(what + "\n")
    raise OSError(f"test: network use refused ({what})")


def _guarded(original):
    def connect(self, address):
        if self.family in (socket.AF_INET, socket.AF_INET6) and address[0] not in _LOOPBACK:
            _refuse(f"connect {address[0]}:{address[1]}")
        return original(self, address)
    return connect


socket.socket.connect = _guarded(socket.socket.connect)
socket.socket.connect_ex = _guarded(socket.socket.connect_ex)
_getaddrinfo = socket.getaddrinfo


def getaddrinfo(host, *args, **kwargs):
    if host is not None and (host.decode() if isinstance(host, bytes) else host) not in _LOOPBACK:
        _refuse(f"resolve {host}")
    return _getaddrinfo(host, *args, **kwargs)


socket.getaddrinfo = getaddrinfo
'''
UNREACHABLE = "http://192.0.2.10:9/v1"  # TEST-NET-1: never routed


@pytest.fixture
def guarded_env(tmp_path):
    guard = tmp_path / "guard"
    guard.mkdir()
    (guard / "sitecustomize.py").write_text(NETWORK_GUARD, encoding="utf-8")
    log = tmp_path / "network.log"
    env = cli_env(key=None, OPENAI_BASE_URL=UNREACHABLE, HTTPS_PROXY=UNREACHABLE, HTTP_PROXY=UNREACHABLE,
                  ALL_PROXY=UNREACHABLE, TOVRANE_TEST_NETLOG=str(log))
    env["PYTHONPATH"] = os.pathsep.join([str(guard), env["PYTHONPATH"]])
    return env, log


def test_the_network_guard_refuses_and_notes_a_connection(guarded_env, tmp_path):
    env, log = guarded_env
    for attempt in ("socket.socket().connect(('192.0.2.10', 9))", "socket.create_connection(('example.org', 80))"):
        probe = subprocess.run([sys.executable, "-c", f"import socket; {attempt}"], env=env, cwd=tmp_path,
                               capture_output=True, text=True)
        assert probe.returncode != 0 and "network use refused" in probe.stderr
    assert log.read_text(encoding="utf-8") == "connect 192.0.2.10:9\nresolve example.org\n"


def test_demo_grades_the_sample_class_offline_without_key_or_network(guarded_env, tmp_path):
    from tovrane_core.rehearsal import REHEARSAL_NOTICE

    env, log = guarded_env
    demo = tmp_path / "demo"
    result = run_cli("demo", "-o", demo, cwd=tmp_path, env=env, timeout=300)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr
    assert not log.exists(), log.read_text(encoding="utf-8")
    lines = result.stdout.splitlines()
    assert lines[0] == REHEARSAL_NOTICE
    assert lines[1].startswith("Page reader: local")
    assert lines[2].startswith("Language model: none") and "127.0.0.1" in lines[2]
    gradebook = demo / "class" / "gradebook.csv"
    report = demo / "class" / "report.html"
    assert f"gradebook: {gradebook}" in result.stdout and f"report: {report}" in result.stdout
    assert f"Demo folder: {demo}" in result.stdout
    with open(gradebook, newline="", encoding="utf-8") as source:
        rows = list(csv.reader(source))
    assert [row[0] for row in rows[1:]] == sorted(sheet.name for sheet in sample_sheets())
    assert all(row[-1] == "" for row in rows[1:])
    assert 'id="rehearsal"' in report.read_text(encoding="utf-8")
    assert (demo / "question_paper.json").is_file() and (demo / "question_paper.txt").is_file()


def table_row(stdout: str, task: str) -> tuple[int, int, int]:
    match = re.search(rf"^{task}\s+([\d,]+)\s+([\d,]+)\s+([\d,]+)\s+\$", stdout, re.M)
    assert match, stdout
    return tuple(int(group.replace(",", "")) for group in match.groups())


def logged_input_tokens(log_text: str, task: str) -> list[int]:
    return [int(n) for n in re.findall(rf"TASK: {task} \| \nMODEL: .*\| \nINPUT_TOKENS: (\d+)", log_text)]


def test_estimate_sends_nothing_and_counts_the_prompts_a_run_sends(tmp_path):
    meta = sample_manifest()
    paper_args = ["--subject", meta["subject"], "--language", meta["language"], "--class-level",
                  meta["class_level"], "--extractor", "local", *FAST]
    sheets = sample_sheets(text_layer=True)[:2]
    with FakeOpenAIServer() as server:
        script_class(server)
        env = cli_env(server.base_url)
        # What the real runs send, as their usage logs count it (the replies carry no usage).
        paper = run_cli("paper", SAMPLE_CLASS / meta["paper"], *paper_args, "-o", tmp_path / "paper.json",
                        "--token-log", tmp_path / "paper.log", cwd=tmp_path, env=env)
        assert paper.returncode == 0, paper.stderr
        grade = run_cli("grade", tmp_path / "paper.json", *sheets, "-o", tmp_path / "out", "--extractor", "local",
                        *FAST,
                        "--token-log", tmp_path / "grade.log", cwd=tmp_path, env=env)
        assert grade.returncode == 0, grade.stderr
        sent = server.request_count

        for_paper = run_cli("estimate", SAMPLE_CLASS / meta["paper"], *paper_args, cwd=tmp_path, env=env)
        for_grade = run_cli("estimate", tmp_path / "paper.json", *sheets, cwd=tmp_path, env=env)
        assert for_paper.returncode == 0, for_paper.stderr
        assert for_grade.returncode == 0, for_grade.stderr
        assert server.request_count == sent

    paper_log = (tmp_path / "paper.log").read_text(encoding="utf-8")
    grade_log = (tmp_path / "grade.log").read_text(encoding="utf-8")
    calls, counted, _ = table_row(for_paper.stdout, "parse_question_paper")
    assert (calls, counted) == (1, sum(logged_input_tokens(paper_log, "parse_question_paper")))
    assert table_row(for_paper.stdout, "generate_rubric")[0] > 0
    calls, counted, estimated = table_row(for_grade.stdout, "parse_answersheet")
    assert (calls, counted) == (2, sum(logged_input_tokens(grade_log, "parse_answersheet")))
    assert estimated > 0
    assert table_row(for_grade.stdout, "evaluate_answer")[0] > 0
    assert "Output tokens are estimated" in for_grade.stdout
    assert "no request was made" in for_grade.stdout
    assert not (tmp_path / "llm_token_usage.log").exists()
