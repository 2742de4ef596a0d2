"""Hypothesis profiles and value strategies shared by the property tests.

The default profile is small and derandomised, so the default test run is quick and
repeatable; ``HYPOTHESIS_PROFILE=fuzz`` (scripts/fuzz.sh hypothesis) draws many random
examples and keeps what fails in build/hypothesis-db, to be committed as ``@example``.
"""

from __future__ import annotations

import math
import os
import pathlib

from hypothesis import HealthCheck, Phase, settings, strategies as st
from hypothesis.database import DirectoryBasedExampleDatabase

_ROOT = pathlib.Path(__file__).resolve().parents[2]

# No explain phase: it imports libcst, whose own deprecation warnings would fail the run.
_PHASES = [Phase.explicit, Phase.reuse, Phase.generate, Phase.target, Phase.shrink]
settings.register_profile(
    "default", max_examples=60, phases=_PHASES, derandomize=True, deadline=None, database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
settings.register_profile(
    "fuzz", phases=_PHASES, max_examples=int(os.environ.get("TOVRANE_FUZZ_EXAMPLES", "2000")), deadline=None,
    database=DirectoryBasedExampleDatabase(str(_ROOT / "build" / "hypothesis-db")),
    suppress_health_check=list(HealthCheck), print_blob=True)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))

# Text as a model or a teacher may send it: any code point, lone surrogates included.
any_text = st.text(st.characters(codec=None, min_codepoint=0, max_codepoint=0x10FFFF))
# Floats at every edge: NaN, infinities, -0.0, subnormals, 1e308.
any_float = st.floats(allow_nan=True, allow_infinity=True)
# Integers well past 64 bits.
any_int = st.integers(min_value=-(2**70), max_value=2**70)

json_scalars = st.none() | st.booleans() | any_int | any_float | any_text
any_json = st.recursive(
    json_scalars,
    lambda children: st.lists(children, max_size=4) | st.dictionaries(any_text, children, max_size=4),
    max_leaves=12)


def as_number(value):
    """float(value) when Python converts it to a finite number, else None."""
    try:
        number = float(value)
    except (TypeError, ValueError, OverflowError):
        return None
    return number if math.isfinite(number) else None


def has_surrogate(text) -> bool:
    return isinstance(text, str) and any(0xD800 <= ord(c) <= 0xDFFF for c in text)
