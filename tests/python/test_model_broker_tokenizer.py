"""tiktoken works offline from the rank files inside the package, in a fresh process each."""

import hashlib
import json
import os
import pathlib
import subprocess
import sys

import pytest

import tovrane_core

RANK_FILES = {
    "o200k_base": "446a9538cb6c348e3516120d7c08b09f57c36495e2acfffe59a5bf8b0cfb1a2d",
    "cl100k_base": "223921b76ee99bde995b7ff738513eef100fb51d18c93597a113bcffe865b2a7",
}
TEXT = "Explain photosynthesis in two sentences. Écrivez 12 345 mots."

# Runs in the child: no socket may connect, then a broker is built and counts are reported.
CHILD = r"""
import json, socket, sys

def refuse(*args, **kwargs):
    raise OSError("network disabled in this test")

socket.socket.connect = refuse
socket.create_connection = refuse
socket.getaddrinfo = refuse

import tiktoken
from tovrane_core.model_broker import ModelBroker

broker = ModelBroker(token_log_file=sys.argv[1])
print(json.dumps({"name": broker.encoding.name, "count": broker._count_tokens(sys.argv[2]),
                  "tokens": broker.encoding.encode(sys.argv[2]),
                  "cl100k": tiktoken.get_encoding("cl100k_base").encode(sys.argv[2])}))
"""


def url_key(name):
    url = f"https://openaipublic.blob.core.windows.net/encodings/{name}.tiktoken"
    return hashlib.sha1(url.encode()).hexdigest()


def run_child(tmp_path, **env_vars):
    env = {k: v for k, v in os.environ.items() if k not in ("TIKTOKEN_CACHE_DIR", "DATA_GYM_CACHE_DIR")}
    env.update(OPENAI_API_KEY="sk-test", TMPDIR=str(tmp_path),
               PYTHONPATH=str(pathlib.Path(tovrane_core.__file__).parent.parent), **env_vars)
    return subprocess.run([sys.executable, "-c", CHILD, str(tmp_path / "usage.log"), TEXT],
                          env=env, cwd=tmp_path, capture_output=True, text=True, timeout=120)


# TEXT under the published o200k_base, as tiktoken encodes it with network access.
O200K_TOKENS = [176289, 8309, 73972, 306, 1920, 40536, 13, 10055, 798, 58584, 220, 899, 220, 22901, 38338, 13]


@pytest.mark.parametrize("variable, folder", [
    ("TIKTOKEN_CACHE_DIR", "tk-cache"), ("DATA_GYM_CACHE_DIR", "gym-cache"), (None, "data-gym-cache")])
def test_encodings_load_offline_into_tiktokens_own_cache(tmp_path, variable, folder):
    cache = tmp_path / folder
    env = {variable: str(cache)} if variable else {}
    child = run_child(tmp_path, **env)
    assert child.returncode == 0, child.stderr
    report = json.loads(child.stdout)
    assert report["name"] == "o200k_base"
    assert report["tokens"] == O200K_TOKENS and report["count"] == len(O200K_TOKENS)
    assert report["cl100k"] and report["cl100k"] != report["tokens"]
    for name, sha in RANK_FILES.items():
        assert hashlib.sha256((cache / url_key(name)).read_bytes()).hexdigest() == sha
    assert [p.name for p in cache.iterdir() if p.name.endswith(".tmp") or "." in p.name] == []


def test_damaged_cache_entry_is_replaced(tmp_path):
    cache = tmp_path / "tk-cache"
    cache.mkdir()
    (cache / url_key("o200k_base")).write_bytes(b"truncated")
    child = run_child(tmp_path, TIKTOKEN_CACHE_DIR=str(cache))
    assert child.returncode == 0, child.stderr
    assert json.loads(child.stdout)["name"] == "o200k_base"


def test_unwritable_cache_leaves_the_lookup_to_tiktoken(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("not a folder")
    child = run_child(tmp_path, TIKTOKEN_CACHE_DIR=str(blocker / "cache"))
    # Seeding failed quietly; tiktoken's own download attempt is what fails.
    assert child.returncode != 0
    assert "network disabled in this test" in child.stderr
