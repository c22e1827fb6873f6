"""An agent module for the command-line tests: `python -m orvu_sdk run host_cli_agent:echo`."""

from __future__ import annotations

from orvu_sdk import MessageCreated, Tools


async def echo(message: MessageCreated, tools: Tools) -> None:
    await tools.post(f"echo: {message['content']}")
