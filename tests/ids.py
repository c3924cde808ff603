"""Every engine's ``configure`` ids by name, read from the kernels' headers.

Each kernel numbers its options in one ``enum class <Engine>Option : uint32_t``;
this module reads those enums from src/ and makes each an ``IntEnum`` named
after the engine, its members upper-cased: ``ids.Ladder.CUTOFF_HZ`` is
``LadderOption::cutoff_hz``, the id ``LadderState.configure`` takes for the
cutoff.  Tests write ids through these names, so a renumbered option moves
the tests with it.
"""

from __future__ import annotations

import re
from enum import IntEnum
from pathlib import Path

SRC = Path(__file__).resolve().parents[1] / "src"

_ENUM = re.compile(r"enum class (\w+)Option\s*:\s*uint32_t\s*\{(.*?)\};", re.S)
_MEMBER = re.compile(r"^(\w+)\s*(?:=\s*(\d+))?$")


def _members(body: str) -> dict[str, int]:
    """Enumerators in order; a member without ``= n`` follows the one before."""
    body = re.sub(r"//[^\n]*", "", body)
    members: dict[str, int] = {}
    value = 0
    for item in filter(None, (part.strip() for part in body.split(","))):
        match = _MEMBER.match(item)
        assert match, f"cannot read enumerator {item!r}"
        value = int(match.group(2)) if match.group(2) else value
        members[match.group(1)] = value
        value += 1
    return members


def header_enums() -> dict[str, dict[str, int]]:
    """``{engine: {option: id}}`` of every ``<Engine>Option`` enum under src/,
    names as the C++ writes them."""
    enums: dict[str, dict[str, int]] = {}
    for header in sorted(SRC.rglob("*.hpp")):
        for engine, body in _ENUM.findall(header.read_text()):
            assert engine not in enums, f"{engine}Option is defined twice"
            enums[engine] = _members(body)
    return enums


ENGINES: dict[str, type[IntEnum]] = {
    engine: IntEnum(engine, {name.upper(): value for name, value in members.items()})
    for engine, members in header_enums().items()
}
globals().update(ENGINES)

