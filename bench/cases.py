"""What every workload module shares: the timed case and the conversions
its statements are built with."""

from __future__ import annotations

import sys
from dataclasses import dataclass, field

FLOOR = "floor"


@dataclass
class Case:
    workload: str
    variant: str
    impl: str
    stmt: str  # the statement the timing loop repeats
    env: dict = field(default_factory=dict)  # names the statement uses
    inner: int = 1  # operations per repetition of stmt
    answer: object = None  # callable giving the job's result, for cross-checking
    row: tuple | None = None  # cases answering the same question; default: the table row
    share: float = 1.0  # of the worker processes that time it (slow cases need fewer values)

    @property
    def name(self) -> str:
        return f"{self.workload}:{self.variant}:{self.impl}"


def decoded(raw) -> list[tuple[str, str]]:
    return [(k.decode("latin-1"), v.decode("latin-1")) for k, v in raw]


def str_key(name: bytes, kind: str) -> str:
    text = name.decode("latin-1")
    if kind == "str":
        return sys.intern(text)
    return "".join(list(text))  # a new object, never the interned one
