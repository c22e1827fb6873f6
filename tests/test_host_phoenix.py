"""The Phoenix Channels layer on its own, against a bare WebSocket server: what the upgrade
request carries, TLS, a request that is never answered, and the frame limit it learns."""

from __future__ import annotations

import asyncio
import json
import shutil
import ssl
import subprocess
from pathlib import Path
from typing import Any

import pytest

pytest.importorskip("websockets")

from websockets.asyncio.server import ServerConnection, serve  # noqa: E402
from websockets.exceptions import ConnectionClosed  # noqa: E402

from orvu_sdk.phoenix import (  # noqa: E402
    DEAD_CLOSE_CODE,
    ConnectionLost,
    FrameLimit,
    PhoenixSocket,
    connect,
    redact_url,
    with_params,
)


class BareServer:
    """Accepts WebSockets, records each upgrade request, answers joins only."""

    def __init__(self, answer: bool = True) -> None:
        self.answer = answer
        self.requests: list[tuple[str, Any]] = []

    async def handler(self, ws: ServerConnection) -> None:
        assert ws.request is not None
        self.requests.append((ws.request.path, ws.request.headers))
        try:
            async for raw in ws:
                join_ref, ref, topic, event, _ = json.loads(raw)
                if self.answer and event == "phx_join":
                    await ws.send(json.dumps([join_ref, ref, topic, "phx_reply", {"status": "ok", "response": {}}]))
        except ConnectionClosed:
            pass


async def open_socket(url: str, **options: Any) -> PhoenixSocket:
    ws = await connect(url, params={"token": "t-1"}, headers={"X-Agent-Version": "7"}, **options)
    return PhoenixSocket(ws, on_push=lambda *a: None, on_channel_lost=lambda *a: None, reply_timeout_s=0.2)


def test_the_upgrade_carries_the_params_and_headers_and_a_lost_reply_is_unknown():
    async def main() -> tuple[BareServer, Any, int | None]:
        server = BareServer()
        async with serve(server.handler, "127.0.0.1", 0) as running:
            port = running.sockets[0].getsockname()[1]
            socket = await open_socket(f"ws://127.0.0.1:{port}/socket/websocket?region=eu")
            reader = asyncio.ensure_future(socket.run())
            joined = await socket.join("room:1")
            server.answer = False
            with pytest.raises(ConnectionLost) as lost:
                await socket.request("room:1", "ping", {})
            code = await asyncio.wait_for(reader, 5)
            return server, (joined.ok, lost.value.too_big), code

    server, (joined, too_big), code = asyncio.run(main())
    ((path, headers),) = server.requests
    assert path == "/socket/websocket?vsn=2.0.0&region=eu&token=t-1"
    assert headers["X-Agent-Version"] == "7"
    # No answer is not a refusal: the outcome is unknown and the connection is given up.
    assert joined and not too_big and code == DEAD_CLOSE_CODE


def test_urls_are_shown_without_their_secrets():
    url = with_params("wss://user:pw@example.com/socket/websocket?key=abc", {"token": "xyz"})
    assert url == "wss://user:pw@example.com/socket/websocket?vsn=2.0.0&key=abc&token=xyz"
    assert redact_url(url) == "wss://example.com/socket/websocket?vsn=2.0.0&key=***&token=***"


def test_the_frame_limit_learned_is_never_tighter_than_the_refused_frame():
    limit = FrameLimit()
    assert limit.allows(10**9)
    limit.learn_refused(70_000)
    limit.learn_refused(90_000)   # a larger refusal teaches nothing new
    assert not limit.allows(70_000 - FrameLimit.REF_SLACK) and limit.allows(70_000 - FrameLimit.REF_SLACK - 1)


@pytest.mark.skipif(shutil.which("openssl") is None, reason="needs openssl to make a certificate")
def test_wss_uses_the_default_tls_context_or_the_one_given(tmp_path: Path):
    key, cert = tmp_path / "key.pem", tmp_path / "cert.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", str(key),
                    "-out", str(cert), "-days", "1", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1"], check=True, capture_output=True)
    served = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    served.load_cert_chain(cert, key)
    trusting = ssl.create_default_context(cafile=str(cert))

    async def main() -> tuple[str, bool]:
        server = BareServer()
        async with serve(server.handler, "127.0.0.1", 0, ssl=served) as running:
            url = f"wss://127.0.0.1:{running.sockets[0].getsockname()[1]}/socket/websocket"
            with pytest.raises(ssl.SSLCertVerificationError):
                await open_socket(url)   # the default context does not trust a self-signed server
            socket = await open_socket(url, ssl=trusting)
            reader = asyncio.ensure_future(socket.run())
            joined = (await socket.join("room:1")).ok
            await socket.close()
            await reader
            return server.requests[-1][0], joined

    path, joined = asyncio.run(main())
    assert joined and path.endswith("token=t-1")
