"""The README's quick start: a whole ASGI application in a few lines.

pip install uvicorn
uvicorn --app-dir examples quickstart:app
"""

import json

from velmora.headers import STATIC_JSON_HEADERS, Headers


async def app(scope, receive, send):
    if scope["type"] != "http":
        return  # no lifespan events to handle

    # Wrap the list the server hands over: no copy, the list is shared.
    request = Headers(scope["headers"])  # [(b"host", b"example.com"), ...]
    host = request.get_first(b"Host")  # b"example.com"  (bytes key -> bytes)
    agent = request.get_first("user-agent")  # "curl/8.5.0"    (str key -> str, Latin-1)
    accept = request.get(b"accept")  # every value, in order: (b"*/*",)
    body = json.dumps(
        {
            "host": host.decode("latin-1") if host is not None else None,
            "user_agent": agent,
            "accept": [value.decode("latin-1") for value in accept],
            "authorized": b"authorization" in request,
        }
    ).encode()

    # Response headers from a preset: clone first, presets are shared.
    response = Headers(STATIC_JSON_HEADERS).clone()
    response.add(b"Set-Cookie", b"a=1")  # names are stored lowercase
    response.add(b"Set-Cookie", b"b=2")  # repeated names stay side by side
    response.set(b"Content-Length", b"%d" % len(body))  # replaces every field of that name
    await send({"type": "http.response.start", "status": 200, "headers": response.values})
    await send({"type": "http.response.body", "body": body})
