"""The character error rate that the OCR tests and the benchmark share."""
import random

import pytest

from support.cer import cer, collapse_whitespace, document_cer, levenshtein


def reference_distance(a, b):
    previous = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        current = [i]
        for j, cb in enumerate(b, 1):
            current.append(min(previous[j] + 1, current[j - 1] + 1, previous[j - 1] + (ca != cb)))
        previous = current
    return previous[-1]


def test_bit_parallel_distance_matches_dynamic_programming():
    rng = random.Random(7)
    for _ in range(500):
        a = "".join(rng.choice("abc d\u0915") for _ in range(rng.randint(0, 90)))
        b = "".join(rng.choice("abcd\u0915") for _ in range(rng.randint(0, 90)))
        assert levenshtein(a, b) == reference_distance(a, b), (a, b)


@pytest.mark.parametrize("hyp, ref, expected", [
    ("kitten", "sitting", 3 / 7),
    ("Q1.   Which\n\n crop?", "Q1. Which crop?", 0.0),
    ("", "abcd", 1.0),
    ("", "  ", 0.0),
    ("x", "", 1.0),
])
def test_cer_after_collapsing_whitespace(hyp, ref, expected):
    assert cer(hyp, ref) == pytest.approx(expected)


def test_document_cer_joins_pages_in_order():
    assert document_cer({2: "world", 1: "hello"}, {"1": "hello", "2": "world", "3": "unread"}) == 0.0
    assert collapse_whitespace(" a \n\t b ") == "a b"
