"""The API key never shows: not in what a failing model call raises, prints or logs, not in
the facade's errors and summaries; and the search that every test runs under finds it
where it does show."""

import os
import shutil
import subprocess
import sys
import textwrap
import time
from types import SimpleNamespace

import pytest

from support.broker_fakes import close_token_logger
from support.fake_openai import FAULTS, FakeOpenAIServer, FaultInjector
from support.secret_scan import SECRET_API_KEY, SECRET_MARK, files_with_secret, holds_secret, report_leaks
from tovrane_core.model_broker import ModelBroker
from tovrane_core.tovrane import Tovrane, TovraneConfig

HERE = os.path.dirname(os.path.abspath(__file__))


@pytest.mark.parametrize("text, found", [
    (f"key={SECRET_API_KEY}", True),
    ("sk-tovrane-SECRET-7d1e5c0a****", True),               # cut short or masked after the mark
    (SECRET_API_KEY.encode("utf-16-le"), True),
    (b"\x00\xff" + SECRET_API_KEY.encode() + b"\x00", True),
    ("sk-tovrane-SECRET-", False),                          # the prefix alone is no key
    ("sk-test-something-else", False),
    (None, False),
])
def test_the_key_is_recognised_whole_cut_short_and_encoded(text, found):
    assert holds_secret(text) is found


@pytest.mark.parametrize("when, sections, longrepr, where", [
    ("call", [("Captured stdout call", f"-> {SECRET_API_KEY}\n")], None, ["Captured stdout call"]),
    ("teardown", [("Captured log call", "INFO ok"), ("Captured stderr teardown", SECRET_MARK)], None,
     ["Captured stderr teardown"]),
    # Found once, in the phase that printed it, not again when teardown repeats it.
    ("teardown", [("Captured stdout call", SECRET_API_KEY)], None, []),
    ("setup", [], f"E   ValueError: bad key {SECRET_API_KEY}", ["failure text"]),
    ("call", [("Captured stdout call", "nothing")], "E   ValueError: bad key", []),
])
def test_reports_are_searched_section_by_section(when, sections, longrepr, where):
    report = SimpleNamespace(sections=sections, longrepr=longrepr, longreprtext=longrepr or "", when=when)
    assert report_leaks(report) == where


def test_written_files_are_searched_when_new(tmp_path):
    old = tmp_path / "old.json"
    old.write_text(SECRET_API_KEY)
    os.utime(old, (time.time() - 3600,) * 2)
    since = time.time() - 60
    (tmp_path / "deep" / "er").mkdir(parents=True)
    leaked = tmp_path / "deep" / "er" / "usage.log"
    leaked.write_text("TASK: x | INFO: Error: " + SECRET_API_KEY)
    (tmp_path / "clean.txt").write_text("nothing to see")
    assert list(files_with_secret([tmp_path], since=since)) == [leaked]
    for path in (old, leaked):  # written on purpose: not a leak of this session
        path.unlink()


def test_every_test_runs_with_the_key_and_a_test_showing_it_fails(tmp_path):
    assert os.environ["OPENAI_API_KEY"] == SECRET_API_KEY
    (tmp_path / "test_inner.py").write_text(textwrap.dedent("""
        import os

        def test_prints_it():
            print("key:", os.environ["OPENAI_API_KEY"])

        def test_raises_with_it():
            raise ValueError(os.environ["OPENAI_API_KEY"][:30])

        def test_writes_it(tmp_path):
            (tmp_path / "saved.json").write_text(os.environ["OPENAI_API_KEY"])

        def test_quiet():
            assert os.environ["OPENAI_API_KEY"].startswith("sk-tovrane-SECRET-")
    """))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([HERE] + [p for p in sys.path if p]))
    env.pop("OPENAI_API_KEY")
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p", "conftest",
                          "--basetemp", str(tmp_path / "base"), str(tmp_path / "test_inner.py")],
                         capture_output=True, text=True, env=env, cwd=tmp_path, timeout=120)
    out = run.stdout
    assert run.returncode == 1, out
    assert "the test API key shows in its Captured stdout call (call)" in out
    assert "the test API key shows in its failure text (call)" in out
    assert "the test API key was written to: " in out and "saved.json" in out
    assert "2 failed, 2 passed, 1 error" in out
    shutil.rmtree(tmp_path / "base")  # written on purpose: not a leak of this session


@pytest.mark.parametrize("fault", FAULTS)
def test_a_failing_model_call_never_shows_the_key(fault, tmp_path, capsys, monkeypatch):
    log = tmp_path / "usage.log"
    with FakeOpenAIServer() as server:
        injector = FaultInjector(lambda r: {"criteria": [{"statement": "s", "mark": 1.0}]}, seed=1, timeout=0.2)
        server.enqueue(**vars(injector.reply(fault, None)))
        monkeypatch.setenv("OPENAI_BASE_URL", server.base_url)
        broker = ModelBroker(token_log_file=str(log), enable_logging=True, request_timeout=0.2, max_retries=0)
        try:
            outcome = broker.generateRubric("Why is the sky blue?", 2, "7", "Science")
        except RuntimeError as err:
            outcome = err
        finally:
            close_token_logger()
        # The key went out with the request: the check below could have found it.
        assert server.requests[0].headers["authorization"] == f"Bearer {SECRET_API_KEY}"
    texts = [str(outcome), repr(outcome), repr(getattr(outcome, "__cause__", None)),
             capsys.readouterr().out, log.read_text()]
    assert [holds_secret(t) for t in texts] == [False] * len(texts)
    assert ("TASK: generate_rubric" in texts[-1]) and (fault == "no_usage") == (not isinstance(outcome, Exception))


def test_the_facades_errors_and_summaries_never_show_the_key(tmp_path, capsys):
    config = TovraneConfig(openai_api_key=SECRET_API_KEY, token_log_file=str(tmp_path / "no" / "such" / "dir.log"))
    facade = Tovrane()
    with pytest.raises(Exception) as failed:
        facade.configure(config)
    texts = [str(failed.value), repr(failed.value), repr(config), str(facade.get_configuration_summary()),
             capsys.readouterr().out]
    assert [holds_secret(t) for t in texts] == [False] * len(texts)
