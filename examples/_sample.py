"""Where the examples find their default input: the sample class that ships in the package."""

from __future__ import annotations

import json
from importlib import resources
from pathlib import Path
from typing import Any


def sample_class() -> tuple[Path, list[Path], dict[str, Any]]:
    """The sample paper, its answersheets (those with a text layer first) and its manifest."""
    root = Path(str(resources.files("tovrane_core") / "_data" / "sample_class"))
    manifest: dict[str, Any] = json.loads((root / "manifest.json").read_text(encoding="utf-8"))
    sheets = [root / entry["file"] for entry in manifest["sheets"]]
    return root / manifest["paper"], sheets, manifest
