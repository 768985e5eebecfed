"""A small service as its type checker sees the package: the queued logger is
handed to the chat senders and to the bootstrap, and the bootstrap records'
fields have their real types. scripts/check-types runs `mypy --strict` on it.

    python3 examples/typed_service.py

Nothing leaves the machine: alerts are enabled for production only, and this
service runs in staging.
"""

from __future__ import annotations

import asyncio
import logging

from vesprand_python_configuration import LoggerLike, bootkit
from vesprand_python_configuration.scribeset import AsyncLogger
from vesprand_python_configuration.toolchest import (
    GoogleChatAsyncMessenger,
    setup_google_chat_messenger,
)

SERVICE = "typed-service"
HOOK = "https://chat.invalid/v1/spaces/A/messages?key=K&token=T"


def alert(logger: LoggerLike, text: str) -> None:
    logger.warning(text)


async def main() -> None:
    logger = AsyncLogger(SERVICE, logging.INFO)
    messenger = GoogleChatAsyncMessenger(SERVICE, HOOK, "", "staging", ["production"], logger)
    messenger.send_message("queued, but not sent outside production", 1)
    same = setup_google_chat_messenger(SERVICE, HOOK, "", "staging", True, None, logger)
    alert(logger, f"one messenger: {same is messenger}")

    hooks = {"g_chat_webhook": HOOK, "error_g_chat_webhook": HOOK, "is_async_gchat": True}
    chat = await bootkit.configure_google_chat(
        SERVICE, {"_extra_properties": hooks}, "staging", ["production"], logger
    )
    chat.g_chat.send_message("not sent either", 1)
    redis = bootkit.configure_redis({}, "staging", logger)
    alert(logger, f"no Redis configured: {redis.redis_obj is None}")
    await asyncio.sleep(0.1)  # lets the queued logger write


if __name__ == "__main__":
    asyncio.run(main())
