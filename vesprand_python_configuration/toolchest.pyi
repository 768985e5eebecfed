import asyncio as asyncio
import json as json
import logging as logging
from typing import Optional as Optional
from typing import Union as Union
from typing import Dict as Dict
from typing import Any as Any

import aiohttp as aiohttp
from vesprand_python_configuration import LoggerLike
import requests as requests  # type: ignore[import]

def add_extra_properties_to_schema(
    schema: Dict[str, Any], appsettings_path: str
) -> Dict[str, Any]: ...

class SingletonMeta(type):
    """
    This is a thread-safe implementation of Singleton.
    """

    _instances: Dict[type, Any]
    def __call__(cls, *args: Any, **kwargs: Any) -> Any: ...

class GoogleChatSyncMessenger(metaclass=SingletonMeta):
    service_name: str
    default_g_chat_webhook: str
    default_g_chat_error_webhook: str
    environ: str
    log_enabled: list[str]
    logger: Optional[LoggerLike]
    color_dict: Dict[int, str]
    def __init__(
        self,
        service_name: str,
        g_chat_webhook: str,
        g_chat_error_webhook: str,
        environ: str,
        log_enabled: Optional[list[str]] = None,
        logger: Optional[LoggerLike] = None,
    ) -> None: ...
    def send_message(
        self, text_message: str, message_type: int = 1, webhook_url: Optional[str] = None
    ) -> None:
        """Send a message to Google Chat synchronously, allowing dynamic webhook overrides."""

class GoogleChatAsyncMessenger(metaclass=SingletonMeta):
    g_chat_error_webhook: str
    service_name: str
    g_chat_webhook: str
    environ: str
    log_enabled: list[str]
    logger: Optional[LoggerLike]
    color_dict: Dict[int, str]
    log_queue: asyncio.Queue[tuple[str, int]]
    queue_task: Optional[asyncio.Task[None]]
    def __init__(
        self,
        service_name: str,
        g_chat_webhook: str,
        g_chat_error_webhook: str,
        environ: str,
        log_enabled: Optional[list[str]] = None,
        logger: Optional[LoggerLike] = None,
        max_queue_size: int = 100,
    ) -> None: ...
    def send_message(self, text_message: str, message_type: Optional[int] = None) -> None:
        """Send message to Google Chat asynchronously."""
    def _ensure_queue_processing(self) -> None: ...
    async def _enqueue_message(self, text_message: str, message_type: int) -> None: ...
    async def _process_log_queue(self) -> None: ...
    async def _send_message_async(self, text_message: str, message_type: int) -> None: ...
    # Returns once every message sent before the call has been posted or has failed.
    async def flush(self) -> None: ...

def setup_google_chat_messenger(
    service_name: str,
    g_chat_webhook: str,
    g_chat_error_webhook: str,
    environ: str,
    async_mode: bool = False,
    log_enabled: Optional[list[str]] = None,
    logger: Optional[LoggerLike] = None,
) -> Union[GoogleChatSyncMessenger, GoogleChatAsyncMessenger]: ...
