"""Messages per second through the chat messengers, against the libraries
they call posting the same bodies, all to a local webhook receiver (served
from a child process, so its threads do not share this interpreter).

- GoogleChatAsyncMessenger: from send_message() until the worker has posted
  every message of the round, against a plain aiohttp loop posting the same
  cards one at a time with one ClientSession per message.
- GoogleChatSyncMessenger.send_message() against plain requests.post().

Run with the built package on the path:
    PYTHONPATH=<build dir> python3 -P benchmarks/bench_toolchest.py
"""

import asyncio
import contextlib
import json
import pathlib
import sys

import aiohttp
import requests

HERE = pathlib.Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tools")]

import harness  # noqa: E402
from webhook_receiver import WebhookReceiver  # noqa: E402

from vesprand_python_configuration.toolchest import (  # noqa: E402
    GoogleChatAsyncMessenger,
    SingletonMeta,
    GoogleChatSyncMessenger,
)

MESSAGES = 200  # a round
HEADERS = {"Content-Type": "application/json; charset=UTF-8"}
TEXT = 'Disk "data" at 91% on <b>worker-3</b> — check'


def card(service_name, environ, color, text):
    font = "<font color='" + color + "'>" + text + "</font>"
    return {
        "cards": [
            {
                "header": {"title": f"*{service_name}*", "subtitle": f"_{environ}_"},
                "sections": [{"widgets": [{"textParagraph": {"text": font}}]}],
            }
        ]
    }


def cases(stack: contextlib.ExitStack) -> list[harness.Case]:
    hook = stack.enter_context(WebhookReceiver(process=True))
    url = hook.url("/v1/spaces/bench/messages?key=k&token=t")
    loop = asyncio.new_event_loop()
    stack.callback(loop.close)

    # The messengers are process-wide singletons: another benchmark of the
    # same run may have made them, pointed elsewhere.
    SingletonMeta._instances.clear()
    queued = GoogleChatAsyncMessenger("bench", url, "", "PRODUCTION", max_queue_size=MESSAGES)
    synchronous = GoogleChatSyncMessenger("bench", url, "", "PRODUCTION")

    async def queued_round():
        for _ in range(MESSAGES):
            queued.send_message(TEXT, 1)
        for _ in range(5):  # the scheduled puts
            await asyncio.sleep(0)
        await queued.log_queue.join()

    async def aiohttp_round():
        for _ in range(MESSAGES):
            data = json.dumps(card("bench", "PRODUCTION", "#008000", TEXT))
            async with aiohttp.ClientSession() as session:
                async with session.post(url=url, headers=HEADERS, data=data) as response:
                    response.raise_for_status()

    def sync_round():
        for _ in range(MESSAGES):
            synchronous.send_message(TEXT)

    def requests_round():
        for _ in range(MESSAGES):
            data = json.dumps(card("bench", "PRODUCTION", "#008000", TEXT))
            requests.post(url=url, headers=HEADERS, data=data)

    def stop_worker():
        queued.queue_task.cancel()
        loop.run_until_complete(asyncio.gather(queued.queue_task, return_exceptions=True))

    # Both sides of each case post the same bytes.
    loop.run_until_complete(queued_round())
    stack.callback(stop_worker)
    loop.run_until_complete(aiohttp_round())
    sync_round()
    requests_round()
    bodies = {(r.body, r.header("Content-Type")) for r in hook.requests}
    assert len(hook.requests) == 4 * MESSAGES and len(bodies) == 1, bodies
    hook.clear()

    return [
        harness.Case(
            "GoogleChatAsyncMessenger send_message → posted",
            native=lambda: loop.run_until_complete(queued_round()),
            floor=lambda: loop.run_until_complete(aiohttp_round()),
            ops=MESSAGES,
        ),
        harness.Case(
            "GoogleChatSyncMessenger.send_message",
            native=sync_round,
            floor=requests_round,
            ops=MESSAGES,
        ),
    ]


if __name__ == "__main__":
    rows = harness.run(cases)
    for row in rows:
        print(f"{row.name}: {1 / row.native:,.0f} messages/s native, {1 / row.floor:,.0f} floor")
