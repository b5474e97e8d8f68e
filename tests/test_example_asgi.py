"""examples/asgi_app.py served by a real uvicorn on the loopback interface."""

import subprocess
import time
from pathlib import Path

import pytest

from support import listening_socket, python_command

httpx = pytest.importorskip("httpx")
pytest.importorskip("uvicorn")

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
STARTUP_TIMEOUT = 60  # seconds; sanitizer builds start slowly
REQUEST_TIMEOUT = 10

pytestmark = pytest.mark.skipif(not (EXAMPLES / "asgi_app.py").is_file(), reason="examples/ is not beside tests/")


# uvicorn serves on the socket the test bound, passed down as a file
# descriptor: no other process can take the port between choosing and serving.
SERVE = (
    "import socket, sys, uvicorn; sys.path.insert(0, sys.argv[2]); "
    "config = uvicorn.Config('asgi_app:app', log_level='warning', access_log=False); "
    "uvicorn.Server(config).run(sockets=[socket.socket(fileno=int(sys.argv[1]))])"
)


@pytest.fixture(scope="module")
def client(tmp_path_factory):
    log_path = tmp_path_factory.mktemp("uvicorn") / "log.txt"
    sock = listening_socket()
    port = sock.getsockname()[1]
    command = [*python_command(SERVE), str(sock.fileno()), str(EXAMPLES)]
    # Proxy settings of the environment must not reroute loopback requests.
    with sock, open(log_path, "w") as log, httpx.Client(base_url=f"http://127.0.0.1:{port}", trust_env=False) as http:
        server = subprocess.Popen(
            command, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT, pass_fds=[sock.fileno()]
        )
        try:
            deadline = time.monotonic() + STARTUP_TIMEOUT
            while True:
                if server.poll() is not None:
                    pytest.fail(f"uvicorn exited with {server.returncode}:\n{log_path.read_text()}")
                try:
                    http.get("/", timeout=1)
                    break
                except httpx.TransportError:
                    if time.monotonic() > deadline:
                        pytest.fail(f"uvicorn did not answer within {STARTUP_TIMEOUT}s:\n{log_path.read_text()}")
                    time.sleep(0.05)
            yield http
        finally:
            server.terminate()
            try:
                server.wait(timeout=REQUEST_TIMEOUT)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait()


def test_json_response_built_from_the_request_headers(client):
    request_headers = [("User-Agent", "probe/1"), ("X-Tag", "a"), ("x-tag", "b"), ("X-REQUEST-ID", "r-42")]
    response = client.get("/", headers=request_headers, timeout=REQUEST_TIMEOUT)
    assert response.status_code == 200
    assert response.json() == {"user_agent": "probe/1", "tags": ["a", "b"], "has_cookie": False}
    assert response.headers["content-type"] == "application/json"
    assert response.headers["content-length"] == str(len(response.content))
    assert response.headers["x-request-id"] == "r-42"


def test_responses_do_not_leak_into_the_preset(client):
    # Were the preset grown in place, the header added for the first request
    # would come back on the second.
    client.get("/", headers={"X-Request-ID": "first"}, timeout=REQUEST_TIMEOUT)
    response = client.get("/", headers={"Cookie": "a=1"}, timeout=REQUEST_TIMEOUT)
    assert response.json() == {"user_agent": response.request.headers["user-agent"], "tags": [], "has_cookie": True}
    assert "x-request-id" not in response.headers
    assert response.headers.get_list("content-type") == ["application/json"]


def test_unknown_path_gets_the_not_found_preset(client):
    response = client.get("/missing", timeout=REQUEST_TIMEOUT)
    assert response.status_code == 404
    assert response.headers.get_list("content-type") == ["text/plain"]
    assert response.content == b"Not Found"
