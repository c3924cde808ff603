"""Every component's output on a fixed stimulus is unchanged to the bit."""

import json

import pytest

import golden


def test_outputs_match_the_golden_digests():
    with open(golden.DIGEST_FILE) as handle:
        expected = json.load(handle)
    actual = golden.digests()
    assert sorted(actual) == sorted(expected)
    changed = [name for name in expected if actual[name] != expected[name]]
    assert not changed, f"outputs changed: {changed}"
