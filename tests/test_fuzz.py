"""Damaged copies of real bundle files, every way they are read: the same data or a clean error.

A short seeded run of bench/fuzz.py (which runs long ones): each family of
damage a few times, each case read in a forked child.  `make test` runs it
again with the binding built under AddressSanitizer and UBSan.
"""
import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench"))
import fuzz  # noqa: E402

pytestmark = pytest.mark.slow

CASES_PER_FAMILY = 3


def test_every_family_of_damage_reads_the_same_or_fails_cleanly(tmp_path):
    lines = []
    counts, bad = fuzz.fuzz(CASES_PER_FAMILY * len(fuzz.FAMILIES), "suite", timeout=120, report=lines.append,
                            work=str(tmp_path))
    assert not bad, "\n".join(lines) + "\n" + fuzz.table(counts)
    # Each family damaged something: every one of them failed a read at least once.
    failed = {family for (family, outcome), n in counts.items() if outcome == "error"}
    assert failed == set(fuzz.FAMILIES), fuzz.table(counts)
