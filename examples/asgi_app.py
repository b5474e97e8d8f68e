"""A tiny ASGI application on velmora's header collections.

    pip install uvicorn
    uvicorn --app-dir examples asgi_app:app

``GET /`` answers with JSON describing a few request headers; any other
path is a plain-text 404.  The request's header list is wrapped as it is, and
the response headers start from a preset.
"""

import json

from velmora.headers import STATIC_JSON_HEADERS, STATIC_NOT_FOUND_HEADERS, Headers


def request_headers(scope) -> Headers:
    """The scope's headers as a collection that shares the server's list."""
    raw = scope["headers"]
    # ASGI allows any iterable of pairs; servers such as uvicorn hand over a
    # list of tuples, which Headers takes over without a copy.
    if type(raw) is list and all(type(entry) is tuple for entry in raw):
        return Headers(raw)
    return Headers([tuple(entry) for entry in raw])


def response_headers(preset) -> Headers:
    # The presets are module-wide lists: work on a copy, never on the preset.
    return Headers(preset).clone()


async def send_response(send, status: int, headers: Headers, body: bytes) -> None:
    headers.set(b"content-length", b"%d" % len(body))
    await send({"type": "http.response.start", "status": status, "headers": headers.values})
    await send({"type": "http.response.body", "body": body})


async def app(scope, receive, send):
    if scope["type"] == "lifespan":
        while True:
            message = await receive()
            if message["type"] == "lifespan.startup":
                await send({"type": "lifespan.startup.complete"})
            elif message["type"] == "lifespan.shutdown":
                await send({"type": "lifespan.shutdown.complete"})
                return
    if scope["type"] != "http":
        return

    request = request_headers(scope)
    if scope["path"] != "/":
        await send_response(send, 404, response_headers(STATIC_NOT_FOUND_HEADERS), b"Not Found")
        return

    # A str key gives str values, a bytes key bytes values.
    body = json.dumps(
        {
            "user_agent": request.get_first("User-Agent"),
            "tags": list(request.get("X-Tag")),
            "has_cookie": "cookie" in request,
        }
    ).encode()
    headers = response_headers(STATIC_JSON_HEADERS)
    request_id = request.get_first(b"x-request-id")
    if request_id is not None:
        headers.add(b"X-Request-ID", request_id)
    await send_response(send, 200, headers, body)
