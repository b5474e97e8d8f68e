"""The README's quick start is examples/quickstart.py, and it runs: driven
here as an ASGI server would, without one.  The surprises the README states
beside it hold."""

import asyncio
import importlib.util
import json
import re
from pathlib import Path

import pytest

from velmora.headers import Headers

ROOT = Path(__file__).resolve().parents[1]
EXAMPLE = ROOT / "examples" / "quickstart.py"
README = ROOT / "README.md"

pytestmark = pytest.mark.skipif(not EXAMPLE.is_file(), reason="examples/ is not beside tests/")
# `make dist-check` runs the tests of an installed wheel with examples/ but no README.
needs_readme = pytest.mark.skipif(not README.is_file(), reason="no README.md beside tests/")


def load_app():
    spec = importlib.util.spec_from_file_location("quickstart", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.app


def serve(app, scope):
    sent = []

    async def receive():
        return {"type": "http.request", "body": b"", "more_body": False}

    async def send(message):
        sent.append(message)

    asyncio.run(app(scope, receive, send))
    return sent


def readme_quick_start() -> str:
    section = README.read_text(encoding="utf-8").split("## Quick start", 1)[1]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


@needs_readme
def test_readme_shows_the_example_as_it_is():
    # Everything after the module docstring, so what the README shows is
    # what this file tests.
    code = EXAMPLE.read_text(encoding="utf-8").split('"""', 2)[2].lstrip("\n")
    assert readme_quick_start() == code


def test_answers_a_request_as_the_comments_say():
    raw = [
        (b"host", b"example.com"),
        (b"user-agent", b"curl/8.5.0"),
        (b"accept", b"*/*"),
        (b"accept", b"text/html"),
    ]
    sent = serve(load_app(), {"type": "http", "method": "GET", "path": "/", "headers": raw})
    start, body = sent
    assert start["type"] == "http.response.start"
    assert start["status"] == 200
    content = body["body"]
    assert start["headers"] == [
        (b"content-type", b"application/json"),
        (b"set-cookie", b"a=1"),
        (b"set-cookie", b"b=2"),
        (b"content-length", b"%d" % len(content)),
    ]
    assert json.loads(content) == {
        "host": "example.com",
        "user_agent": "curl/8.5.0",
        "accept": ["*/*", "text/html"],
        "authorized": False,
    }
    # The request's list is wrapped, never changed.
    assert len(raw) == 4


def test_ignores_what_is_not_http():
    assert serve(load_app(), {"type": "lifespan"}) == []


SURPRISES = [
    ([[b"host", b"x"]], lambda h: h.get_first(b"host"), "TypeError: Expected tuple, got list"),
    ([("host", "x")], lambda h: h.clone(), "TypeError: Expected bytes, got str"),
    ([("host", "x")], lambda h: h + [(b"a", b"b")], "TypeError: Expected bytes, got str"),
]


@pytest.mark.parametrize(("values", "call", "message"), SURPRISES)
def test_surprises_the_readme_warns_of(values, call, message):
    h = Headers(values)  # taken without a look at the entries
    with pytest.raises(TypeError, match=message.split(": ", 1)[1]):
        call(h)


@needs_readme
def test_readme_quotes_each_surprise_as_raised():
    text = README.read_text(encoding="utf-8").split("## Quick start", 1)[1]
    assert [message for _, _, message in SURPRISES if message not in text] == []
