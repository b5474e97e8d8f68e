"""The four ready-made content-type lists."""

import pytest

import velmora.headers as mod
from velmora.headers import Headers

PRESETS = {
    "STATIC_JSON_HEADERS": b"application/json",
    "STATIC_TEXT_HEADERS": b"text/plain; charset=utf-8",
    "STATIC_HTML_HEADERS": b"text/html; charset=utf-8",
    "STATIC_NOT_FOUND_HEADERS": b"text/plain",
}


@pytest.fixture
def restore_presets():
    """The presets are shared mutable lists: put them back after a test."""
    saved = {name: list(getattr(mod, name)) for name in PRESETS}
    yield
    for name, entries in saved.items():
        getattr(mod, name)[:] = entries


@pytest.mark.parametrize(("attr", "media_type"), PRESETS.items())
def test_preset_contents(attr, media_type):
    preset = getattr(mod, attr)
    assert type(preset) is list
    assert preset == [(b"content-type", media_type)]
    (entry,) = preset
    assert type(entry) is tuple
    assert all(type(item) is bytes for item in entry)


def test_presets_are_separate_lists_sharing_one_name_object():
    lists = [getattr(mod, name) for name in PRESETS]
    assert len({id(p) for p in lists}) == 4
    names = {id(p[0][0]) for p in lists}
    assert len(names) == 1


@pytest.mark.parametrize(
    ("attr", "key", "expected"),
    [
        ("STATIC_TEXT_HEADERS", b"Content-Type", (b"text/plain; charset=utf-8",)),
        ("STATIC_NOT_FOUND_HEADERS", "content-type", ("text/plain",)),
        ("STATIC_JSON_HEADERS", "CONTENT-TYPE", ("application/json",)),
        ("STATIC_HTML_HEADERS", b"content-length", ()),
    ],
)
def test_lookup_through_a_collection(attr, key, expected):
    assert Headers(getattr(mod, attr)).get(key) == expected


@pytest.mark.usefixtures("restore_presets")
def test_collection_on_a_preset_writes_through():
    Headers(mod.STATIC_JSON_HEADERS).add(b"X-Extra", b"1")
    assert len(mod.STATIC_JSON_HEADERS) == 2
    assert mod.STATIC_JSON_HEADERS[1] == (b"x-extra", b"1")
    assert len(mod.STATIC_TEXT_HEADERS) == 1


@pytest.mark.usefixtures("restore_presets")
def test_clone_leaves_the_preset_alone():
    h = Headers(mod.STATIC_HTML_HEADERS).clone()
    h.add(b"X-Extra", b"1")
    h.set(b"Content-Type", b"text/css")
    assert mod.STATIC_HTML_HEADERS == [(b"content-type", b"text/html; charset=utf-8")]
    assert h.values == [(b"x-extra", b"1"), (b"content-type", b"text/css")]
