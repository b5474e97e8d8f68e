"""Re-entrancy torture: names, values, keys, entries, argument containers
and subclasses whose Python hooks (lower, __eq__, __str__, __repr__,
__format__, __iter__, __getitem__, __len__, items, properties, overridden
methods, replaced module globals) mutate the collection, replace or unset
its list, empty or grow the container being walked, collect garbage, drop
references, re-enter the collection or raise, in the middle of every walking
operation. Every case has to end in a result or an exception.

The full matrix runs in child interpreters, one per family of hooks, so that
a crash fails that family instead of the whole run; the child prints each
case before running it, so the last line names the culprit. A few outcomes
the walk rules pin down exactly are checked in-process below.
"""

import copy
import gc
import itertools
import operator
import pickle
import subprocess
import sys
from collections.abc import Mapping, MutableSequence

import pytest

import velmora.headers as vh
from velmora.headers import Header, Headers

# ---------------------------------------------------------------------------
# The switchable attack every hook runs.

ACTIONS = ("append", "clear", "reinit", "unset", "gc", "drop", "raise", "reenter", "grow", "shrink")


class Attack:
    action = None
    target = None  # the collection under attack
    container = None  # the argument being walked, for grow / shrink
    armed = False  # hooks are inert while a case is being set up
    fired = 0
    # Adding to a list for each entry walked never ends; a few strikes per
    # case are enough to reach every state.
    budget = 0


def strike():
    if not Attack.armed or Attack.budget <= 0:
        return
    Attack.budget -= 1
    Attack.fired += 1
    action, h = Attack.action, Attack.target
    if action == "raise":
        raise RuntimeError("hostile hook")
    if action == "gc":
        gc.collect()
    elif action == "drop":
        Attack.target = None
        gc.collect()
    elif action in ("grow", "shrink"):
        c = Attack.container
        if isinstance(c, dict):
            if action == "grow":
                c[b"grown-%d" % Attack.fired] = b"g"
            elif c:
                c.pop(next(iter(c)))
        elif isinstance(c, list):
            if action == "grow":
                c.append((b"grown", b"g"))
            else:
                c.clear()
    elif h is None:
        return
    elif action == "append" and type(h.values) is list:
        h.values.append((b"host", b"late"))
    elif action == "clear" and type(h.values) is list:
        h.values.clear()
    elif action == "reinit":
        h.__init__([(b"host", b"new"), ("Host", "new")])
    elif action == "unset":
        h.__setstate__((None,))
    elif action == "reenter":
        # The hooks stay quiet inside, so this does not recurse further.
        Attack.armed = False
        try:
            for op in (
                lambda: h.get(b"host"),
                h.keys,
                lambda: h.remove("x-gone"),
                lambda: h.add(b"x-re", b"1"),
                h.clone,
            ):
                try:
                    op()
                except Exception:
                    pass
        finally:
            Attack.armed = True


# ---------------------------------------------------------------------------
# Hostile objects.


class HostileStr(str):
    """A stored name whose lower() strikes."""

    def lower(self):
        strike()
        return str.lower(self)


class HostileName:
    """A stored name that is neither str nor bytes, with hostile equality."""

    def __eq__(self, other):
        strike()
        return self is other

    __hash__ = object.__hash__


class HostileValue:
    def __str__(self):
        strike()
        return "hostile"

    def __repr__(self):
        strike()
        return "HostileValue()"

    def __format__(self, spec):
        strike()
        return "hostile"

    def __eq__(self, other):
        strike()
        return isinstance(other, HostileValue)

    __hash__ = object.__hash__

    def __bool__(self):
        strike()
        return True


class HostileKey:
    """A key that is not a str: looked up by its text."""

    def __str__(self):
        strike()
        return "Host"


class HostileStrKey(str):
    """A str-subclass key, name or dict key whose str() strikes."""

    def __str__(self):
        strike()
        return str.__str__(self)

    __hash__ = str.__hash__


class HostileEntry:
    """An entry that is not a tuple but indexes and iterates as a pair."""

    def __getitem__(self, i):
        strike()
        return (b"host", b"entry")[i]

    def __iter__(self):
        strike()
        return iter((b"host", b"entry"))

    def __len__(self):
        return 2


class HostileList(list):
    def __iter__(self):
        strike()
        return list.__iter__(self)


class HostileTuple(tuple):
    def __len__(self):
        strike()
        return tuple.__len__(self)

    def __getitem__(self, i):
        strike()
        return tuple.__getitem__(self, i)


class HostileMapping(Mapping):
    def __init__(self, pairs):
        self._d = dict(pairs)

    def __getitem__(self, k):
        return self._d[k]

    def __iter__(self):
        strike()
        return iter(self._d)

    def __len__(self):
        return len(self._d)

    def items(self):
        strike()
        return [(k, v) for k, v in self._d.items()]


class HostileHeader(Header):
    """A record whose name and value are properties that strike."""

    @property
    def name(self):
        strike()
        return Header.name.__get__(self, Header)

    @property
    def value(self):
        strike()
        return Header.value.__get__(self, Header)


class HostileHeaders(Headers):
    """Every method the module calls through its fast-method table strikes
    first; so does the one its operators look up by name."""

    def get(self, name):
        strike()
        return Headers.get(self, name)

    def get_tuples(self, name):
        strike()
        return Headers.get_tuples(self, name)

    def get_first(self, key):
        strike()
        return Headers.get_first(self, key)

    def contains(self, key):
        strike()
        return Headers.contains(self, key)

    def remove(self, key):
        strike()
        return Headers.remove(self, key)

    def add(self, name, value):
        strike()
        return Headers.add(self, name, value)

    def set(self, name, value):
        strike()
        return Headers.set(self, name, value)

    def clone(self):
        strike()
        return Headers.clone(self)

    def keys(self):
        strike()
        return Headers.keys(self)

    def merge(self, values):
        strike()
        return Headers.merge(self, values)

    @staticmethod
    def _add_to_instance(instance, other):
        strike()
        return Headers._add_to_instance(instance, other)


class _StrikingCheck(type):
    def __instancecheck__(cls, obj):
        strike()
        return isinstance(obj, cls.real)


class StrikingMutableSequence(metaclass=_StrikingCheck):
    real = MutableSequence


class StrikingMapping(metaclass=_StrikingCheck):
    real = Mapping


class StrikingSys:
    """Stands in for the module global `sys`: its intern strikes."""

    @staticmethod
    def intern(s):
        strike()
        return sys.intern(s)


# ---------------------------------------------------------------------------
# Families: each makes a fresh collection and the keys to attack it with.


def plain_pairs():
    return [(b"host", b"1"), (b"x-a", b"2"), (b"Host", b"3")]


def family(name):
    """(make collection, keys, extra operations(h))"""
    if name == "lower":
        return (
            lambda: Headers(
                [(HostileStr("Host"), b"1"), (b"host", b"2"), (HostileStr("X-A"), "\xe9"), (HostileStr("HOST"), None)]
            ),
            ["HOST", b"host", "x-a"],
            lambda h: [],
        )
    if name == "eq":
        return (
            lambda: Headers(
                [(HostileName(), HostileValue()), (b"host", HostileValue()), (HostileName(), b"3"), (b"host", b"4")]
            ),
            [b"host", "host"],
            lambda h: [],
        )
    if name == "value":
        return (
            lambda: Headers([(b"host", HostileValue()), ("Host", HostileValue()), (b"x", b"1"), (b"host", b"2")]),
            [b"HOST", "host"],
            lambda h: [
                ("+ invalid", lambda: h + [(b"a", HostileValue(), 3)]),
                ("+ tuple", lambda: h + (HostileValue(),)),
            ],
        )
    if name == "key":
        return (lambda: Headers(plain_pairs()), [HostileKey(), HostileStrKey("HOST")], lambda h: [])
    if name == "entry":
        return (
            lambda: Headers([HostileEntry(), (b"host", b"2"), HostileEntry()]),
            [b"host", "HOST"],
            lambda h: [("add_many own", lambda: h.add_many(h.values))],
        )
    if name == "subclass":
        return (lambda: HostileHeaders(plain_pairs()), [b"HOST", "host", HostileStrKey("x-a")], lambda h: [])
    if name == "record":
        return (
            lambda: Headers(plain_pairs()),
            [b"host"],
            lambda h: [
                ("+= record", lambda: operator.iadd(h, HostileHeader(b"Host", b"r"))),
                ("record +", lambda: HostileHeader(b"Host", b"r") + h),
                ("add_many records", lambda: h.add_many([HostileHeader(b"a", b"1"), HostileHeader(b"b", b"2")])),
                ("record ==", lambda: Header(b"host", b"1") == HostileHeader(b"HOST", b"1")),
                ("record == reversed", lambda: HostileHeader(b"HOST", b"1") == Header(b"host", b"1")),
                ("record repr", lambda: repr(Header(b"host", HostileValue()))),
                ("record iter", lambda: list(HostileHeader(b"a", HostileValue()))),
            ],
        )
    if name == "container":

        def walk(arg, fn):
            Attack.container = arg
            return fn(arg)

        return (
            lambda: Headers(plain_pairs()),
            [b"host"],
            lambda h: [
                ("add_many hostile list", lambda: walk(HostileList([(b"a", b"1"), (b"b", b"2")]), h.add_many)),
                ("add_many mapping", lambda: walk(HostileMapping({b"a": b"1", b"b": b"2"}), h.add_many)),
                (
                    "add_many dict of hostile keys",
                    lambda: walk({HostileStrKey("A"): b"1", HostileStrKey("B"): b"2"}, h.add_many),
                ),
                (
                    "update dict of hostile keys",
                    lambda: walk({HostileStrKey("Host"): b"1", HostileStrKey("B"): b"2"}, h.update),
                ),
                (
                    "update dict of hostile values",
                    lambda: walk({b"host": HostileValue(), b"b": HostileValue()}, h.update),
                ),
                ("+= hostile tuple", lambda: operator.iadd(h, HostileTuple((b"a", b"1")))),
                (
                    "+= hostile list",
                    lambda: walk(
                        HostileList([(b"a", b"1"), HostileTuple((b"b", b"2"))]), lambda a: operator.iadd(h, a)
                    ),
                ),
                ("+ hostile list", lambda: walk(HostileList([(b"a", b"1")]), lambda a: h + a)),
                ("merge walked list", lambda: walk([(HostileStr("A"), b"1"), None], h.merge)),
                ("invalid element text", lambda: operator.iadd(h, [HostileValue()])),
            ],
        )
    if name == "globals":
        return (lambda: Headers([("Host", b"1"), (b"host", b"2")]), ["X-New-Name", b"host"], lambda h: [])
    raise AssertionError(name)


def operations(h, key):
    return [
        ("get", lambda: h.get(key)),
        ("get_first", lambda: h.get_first(key)),
        ("get_tuples", lambda: h.get_tuples(key)),
        ("get_single", lambda: h.get_single(key)),
        ("contains", lambda: h.contains(key)),
        ("in", lambda: key in h),
        ("h[key]", lambda: h[key]),
        ("h[0]", lambda: h[0]),
        ("remove", lambda: h.remove(key)),
        ("del h[key]", lambda: operator.delitem(h, key)),
        ("set", lambda: h.set(key, b"v")),
        ("h[key] =", lambda: operator.setitem(h, key, b"v")),
        ("add", lambda: h.add(key, b"v")),
        ("keys", h.keys),
        ("clone", h.clone),
        ("merge", lambda: h.merge([(b"m", b"1"), None, (b"m", b"2")])),
        ("merge own", lambda: h.merge(h.values)),
        ("update", lambda: h.update({key: b"u"} if not isinstance(key, (bytearray, list)) else {})),
        ("add_many list", lambda: h.add_many([(key, b"1"), [b"x", b"2"], "ab"])),
        ("add_many dict", lambda: h.add_many({key: b"1", b"y": b"2"})),
        ("+", lambda: h + [(b"p", b"1")]),
        ("radd", lambda: [(b"p", b"1")] + h),
        ("+ self", lambda: h + h),
        ("+=", lambda: operator.iadd(h, [(b"p", b"1")])),
        ("+= self", lambda: operator.iadd(h, h)),
        ("+= dict", lambda: operator.iadd(h, {b"k": b"v"})),
        ("iter", lambda: list(h)),
        ("items", lambda: list(h.items())),
        ("walk while attacked", lambda: [strike() for _ in itertools.islice(h, 20)]),
        ("repr", lambda: repr(h)),
        ("pickle", lambda: pickle.loads(pickle.dumps(h, 5))),
        ("copy", lambda: copy.copy(h)),
        ("deepcopy", lambda: copy.deepcopy(h)),
    ]


def cases_of(family_name, h, key, extra):
    # Records and argument containers strike only in the operations made for
    # them; the common ones would run on a plain collection.
    common = [] if family_name in ("record", "container") else operations(h, key)
    return common + extra(h)


def torture(family_name):
    """Runs every operation of the family under every action; returns the
    number of cases run. Prints each case first, so a crash names it."""
    make, keys, extra = family(family_name)
    cases = struck = 0
    # Collections then only look at what the cases made: fast, and still
    # through every object in flux.
    gc.freeze()
    saved = {name: getattr(vh, name) for name in ("sys", "Mapping", "MutableSequence")}
    try:
        if family_name == "globals":
            vh.sys = StrikingSys
            vh.Mapping = StrikingMapping
            vh.MutableSequence = StrikingMutableSequence
        for action in ACTIONS:
            for key in keys:
                Attack.armed = False
                count = len(cases_of(family_name, make(), key, extra))
                for index in range(count):
                    Attack.armed = False
                    h = make()
                    name, op = cases_of(family_name, h, key, extra)[index]
                    print(f"case {family_name} / {action} / {key!r} / {name}", flush=True)
                    Attack.action, Attack.target, Attack.container = action, h, None
                    Attack.budget, fired = 8, Attack.fired
                    Attack.armed = True
                    try:
                        result = op()
                    except Exception:
                        result = None
                    finally:
                        Attack.armed = False
                    struck += Attack.fired > fired
                    del result
                    # Whatever happened, the objects stay usable.
                    for survivor in (h, Attack.target):
                        if survivor is not None:
                            try:
                                repr(survivor), list(survivor), survivor.keys(), survivor.get(b"host")
                            except Exception:
                                pass
                    Attack.target = Attack.container = None
                    del h
                    gc.collect()
                    cases += 1
    finally:
        for name, value in saved.items():
            setattr(vh, name, value)
    print(f"done {cases} {struck}", flush=True)
    return cases, struck


FAMILIES = ("lower", "eq", "value", "key", "entry", "subclass", "record", "container", "globals")


def run_isolated(code, timeout=600):
    """Runs code in a child interpreter (the one running the tests, so the
    installed package and any sanitizer set-up carry over); fails on a
    non-zero exit, with the tail of what the child printed."""
    # Imported here: the child runs this file without the tests' sys.path.
    from support import python_command

    proc = subprocess.run(python_command(code), capture_output=True, text=True, timeout=timeout, check=False)
    tail = "\n".join((proc.stdout + proc.stderr).splitlines()[-15:])
    assert proc.returncode == 0, f"child exited with {proc.returncode}:\n{tail}"
    return proc.stdout


@pytest.mark.parametrize("family_name", FAMILIES)
def test_hostile_hooks_never_crash(family_name):
    out = run_isolated(f"import runpy; runpy.run_path({__file__!r})['torture']({family_name!r})")
    done, cases, struck = out.strip().splitlines()[-1].split()
    # Hooks that never fire would prove nothing.
    assert done == "done", (cases, struck)
    assert int(cases) > 0, (cases, struck)
    assert int(struck) >= int(cases) // 8, (cases, struck)


# ---------------------------------------------------------------------------
# Exact outcomes of walks whose list changes under them.


@pytest.fixture
def attack():
    Attack.armed = False
    yield Attack
    Attack.armed = False
    Attack.target = Attack.container = None


def arm(h, action):
    Attack.action, Attack.target, Attack.armed, Attack.budget = action, h, True, 8


@pytest.mark.parametrize(
    ("action", "expected"),
    [
        # The walk re-reads the length: an entry appended in time is seen.
        ("append", (b"1", b"2", b"late")),
        # ... and a list emptied under it ends the walk.
        ("clear", (b"1",)),
        # A new list does not affect the walk: it goes on over the old one.
        ("reinit", (b"1", b"2")),
        ("unset", (b"1", b"2")),
    ],
)
def test_get_walk_sees_the_list_it_started_with(attack, action, expected):
    h = Headers([(HostileStr("host"), b"1"), (b"host", b"2")])
    arm(h, action)
    assert h.get(b"HOST") == expected


def test_remove_deletes_only_from_the_list_it_walked(attack):
    old = [(HostileStr("host"), b"1"), (b"host", b"2"), (b"keep", b"3")]
    h = Headers(old)
    arm(h, "reinit")
    h.remove("host")
    attack.armed = False
    assert old == [(b"keep", b"3")]
    assert h.values == [(b"host", b"new"), ("Host", "new")]


def test_remove_tolerates_matched_entries_already_gone(attack):
    h = Headers([(b"host", b"1"), (HostileStr("Host"), b"2"), (b"host", b"3")])
    arm(h, "clear")
    h.remove("HOST")
    assert h.values == []


def test_merge_own_list_takes_the_entries_present_at_the_start():
    pairs = [(b"a", b"1"), (b"b", b"2")]
    h = Headers(list(pairs))
    h.merge(h.values)
    assert h.values == pairs * 2
    assert h.values[2] is h.values[0]


@pytest.mark.parametrize("how", ["add_many", "+=", "_add_to_instance"])
def test_walks_of_the_own_list_end(how):
    h = Headers([(b"a", b"1"), (b"b", b"2")])
    if how == "add_many":
        h.add_many(h.values)
    elif how == "+=":
        h += h.values
    else:
        Headers._add_to_instance(h, h)
    assert h.values == [(b"a", b"1"), (b"b", b"2")] * 2


def test_update_reports_a_dict_resized_by_a_hook(attack):
    h = Headers()
    d = {HostileStrKey("A"): b"1", HostileStrKey("B"): b"2"}
    attack.container = d
    arm(h, "grow")
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        h.update(d)
    assert [name for name, _ in h.values] == ["a"]


def test_generator_keeps_the_collection_alive():
    it = iter(Headers([(b"a", b"1")]))
    gc.collect()
    assert list(it) == [(b"a", b"1")]


def test_header_equality_survives_reinit_of_both_records(attack):
    mine = Header(b"host", HostileValue())
    theirs = HostileHeader(b"HOST", HostileValue())

    def reinit_both():
        mine.__init__(b"other", b"x")
        theirs.__init__(b"other", b"y")

    attack.action = "reenter"
    # The comparison holds its own references to the fields it compares.
    original = HostileValue.__eq__
    try:
        HostileValue.__eq__ = lambda self, other: (reinit_both(), True)[1]
        assert (mine == theirs) is True
    finally:
        HostileValue.__eq__ = original
    assert mine.name == b"other"
    assert theirs.value == b"y"
