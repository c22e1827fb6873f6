"""An agent for the crash tests: it logs every run, then dies on "[poison]" or echoes."""

from __future__ import annotations

import os
import signal

from orvu_sdk import MessageCreated, Tools


async def poison_or_echo(message: MessageCreated, tools: Tools) -> None:
    with open(os.environ["STORE_TEST_RUN_LOG"], "a") as log:
        log.write(f"{message['id']} {tools.attempt} {int(tools.resumed)}\n")
    if "[poison]" in message["content"]:
        os.kill(os.getpid(), signal.SIGKILL)   # as an out-of-memory kill would
    await tools.post(f"echo: {message['content']}")


async def slow_echo(message: MessageCreated, tools: Tools) -> None:
    """Takes 30 ms a turn, posting halfway, so that kills land mid-turn and mid-write."""
    import asyncio

    with open(os.environ["STORE_TEST_RUN_LOG"], "a") as log:
        log.write(f"{message['id']} {tools.attempt} {int(tools.resumed)}\n")
    await asyncio.sleep(0.015)
    await tools.post(f"echo: {message['content']}")
    await asyncio.sleep(0.015)


async def fails_first(message: MessageCreated, tools: Tools) -> None:
    """Fails a message's first attempt, then echoes."""
    with open(os.environ["STORE_TEST_RUN_LOG"], "a") as log:
        log.write(f"{message['id']} {tools.attempt} {int(tools.resumed)}\n")
    if tools.attempt == 1:
        raise RuntimeError("first attempts fail")
    await tools.post(f"echo: {message['content']}")
