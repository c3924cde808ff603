"""The configure ids are written once, in each kernel's ``<Engine>Option`` enum:
the engines, the package's id tables, the type stubs and the tests follow it."""

import ast
import re
from pathlib import Path

import pytest

import _divavova as m
import api_material  # noqa: F401  (puts the package on the path in a developer build)
import ids
from divavova import _ids

ROOT = Path(__file__).resolve().parents[1]
STUBS = ROOT / "python" / "_divavova-stubs" / "__init__.pyi"
STUB_ID = re.compile(r"(\d+) (\w+) \(")


def stub_engines():
    """``{engine: [(id, name), ...]}`` from the docstring of every stub class
    built on ``_Engine``, in the order the docstring lists them."""
    engines = {}
    for node in ast.parse(STUBS.read_text()).body:
        if isinstance(node, ast.ClassDef) and any(getattr(b, "id", None) == "_Engine" for b in node.bases):
            doc = ast.get_docstring(node)
            _, marker, listing = doc.partition("configure ids (useful ranges):")
            assert marker, f"{node.name}'s docstring does not list its configure ids"
            engines[node.name.removesuffix("State")] = [(int(n), name) for n, name in STUB_ID.findall(listing)]
    return engines


def test_every_engine_has_one_enum_of_its_options():
    # SampleHoldState.configure takes a ratio, not an option id.
    engine_types = {name.removesuffix("State") for name in dir(m) if name.endswith("State")
                    and hasattr(getattr(m, name), "configure") and name != "SampleHoldState"}
    assert engine_types == set(ids.ENGINES) == set(stub_engines())
    for engine, options in ids.ENGINES.items():
        assert [option.value for option in options] == list(range(len(options))), engine


@pytest.mark.parametrize("engine", sorted(ids.ENGINES))
def test_the_package_and_the_stubs_follow_the_headers(engine):
    header = [(option.value, option.name) for option in ids.ENGINES[engine]]
    package = [(option.value, option.name) for option in getattr(_ids, engine + "Id")]
    assert package == header
    assert [(value, name.upper()) for value, name in stub_engines()[engine]] == header


@pytest.mark.parametrize("engine", sorted(ids.ENGINES))
def test_the_engine_takes_exactly_the_enumerated_ids(engine):
    state = getattr(m, engine + "State")()
    for option in ids.ENGINES[engine]:
        state.configure(option, 0.0)
    with pytest.raises(ValueError, match=r"^unknown [\w -]+ option$"):
        state.configure(len(ids.ENGINES[engine]), 0.0)


def test_no_bare_ids_in_the_package_or_the_tests():
    """An engine id written as a number would not follow a renumbering.
    (SampleHoldState.configure takes a ratio of two integers, not an id.)"""
    bare = re.compile(r"\.configure\(\s*\d(?![\d.]*, \d+\))")
    files = sorted((ROOT / "python" / "divavova").glob("*.py")) + sorted((ROOT / "tests").glob("*.py"))
    offenders = [f"{path.name}:{number}" for path in files
                 for number, line in enumerate(path.read_text().splitlines(), 1) if bare.search(line)]
    assert offenders == []
