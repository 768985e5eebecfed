"""A local chat webhook receiver: a real HTTP server on 127.0.0.1.

It records every request it gets (method, path with query string, headers in
arrival order, raw body bytes) and answers as it is told::

    from webhook_receiver import WebhookReceiver, closed_url

    with WebhookReceiver() as hook:           # started on a free port
        url = hook.url("/normal?key=k")       # "http://127.0.0.1:PORT/normal?key=k"
        ...                                   # something posts to url
        (request,) = hook.wait_for(1)         # blocks until one request arrived
        request.method, request.path, request.body, request.header("Content-Type")

    hook.answer(500)                # every later request gets 500 (earlier orders dropped)
    hook.answer(404, count=2)       # only the next two requests get 404, then the default
    hook.answer(200, delay=0.5)     # answer after half a second
    hook.answer(None)               # never answer: the connection is held until stop()
    hook.requests, hook.clear()     # what arrived so far (a copy); forget it
    hook.max_in_flight              # most requests being answered at one moment
    hook.idle()                     # waits until every connection so far has closed
    closed_url("/x")                # a URL whose port refuses connections

The server is the standard library's ThreadingHTTPServer in a thread of this
process; ``WebhookReceiver(process=True)`` runs it in a child interpreter
instead (same interface, through a pipe), so that the server's threads neither
compete for this interpreter's lock nor show in its allocations (benchmarks,
leak tests). `start()` / `stop()` do what the ``with`` block does; `stop()`
releases held and delayed answers and closes open connections, so it never
hangs. Run as a script (``python3 webhook_receiver.py [port]``) it prints its
URL and every request it receives until interrupted.
"""

from __future__ import annotations

import http.server
import json
import socket
import subprocess
import sys
import threading
from dataclasses import asdict, dataclass
from typing import Optional

__all__ = ["Received", "WebhookReceiver", "closed_port", "closed_url"]


@dataclass
class Received:
    """One request as the receiver saw it."""

    method: str
    path: str  # with the query string, exactly as in the request line
    headers: list[tuple[str, str]]  # in arrival order, duplicates kept
    body: bytes
    status: Optional[int] = None  # the answer given; None while none was

    def header(self, name: str) -> Optional[str]:
        """The first value of a header, the name compared case-insensitively."""
        for key, value in self.headers:
            if key.lower() == name.lower():
                return value
        return None


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server: "_Server"

    def log_message(self, format, *args):  # quiet: the receiver keeps records instead
        pass

    def _read_body(self) -> bytes:
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            chunks = []
            while size := int(self.rfile.readline().split(b";")[0].strip() or b"0", 16):
                chunks.append(self.rfile.read(size))
                self.rfile.readline()
            while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                pass
            return b"".join(chunks)
        return self.rfile.read(int(self.headers.get("Content-Length") or 0))

    def _handle(self):
        receiver = self.server.receiver
        record = Received(self.command, self.path, list(self.headers.items()), self._read_body())
        status, delay = receiver._arrived(record)
        answering = False
        try:
            if status is None:
                receiver._stopping.wait()
                self.close_connection = True
                return
            if delay:
                receiver._stopping.wait(delay)
            body = b"{}" if status < 400 else b'{"error": "status %d"}' % status
            # No longer in flight once the answer starts: the client may send
            # its next request as soon as it has the status line.
            answering = True
            receiver._finished()
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            record.status = status
        finally:
            if not answering:
                receiver._finished()

    do_POST = do_GET = do_PUT = do_PATCH = do_DELETE = _handle


class _Server(http.server.ThreadingHTTPServer):
    receiver: "WebhookReceiver"

    def process_request(self, request, client_address):
        thread = threading.Thread(
            target=self.process_request_thread, args=(request, client_address), daemon=True
        )
        self.receiver._opened(request, thread)
        thread.start()

    def shutdown_request(self, request):
        self.receiver._closed(request)
        super().shutdown_request(request)

    def handle_error(self, request, client_address):
        if not isinstance(sys.exc_info()[1], ConnectionError):  # clients may hang up
            super().handle_error(request, client_address)


class WebhookReceiver:
    """A webhook receiver on 127.0.0.1, on `port` (0: a free one), served
    from a thread of this process or, with `process`, from a child."""

    def __init__(self, port: int = 0, *, process: bool = False):
        self._port = port
        self._process = process
        self._child: Optional[subprocess.Popen] = None
        self._lock = threading.Condition()
        self._requests: list[Received] = []
        self._default: tuple[Optional[int], float] = (200, 0.0)
        self._next: list[tuple[Optional[int], float]] = []
        self._in_flight = 0
        self._max_in_flight = 0
        self._connections: set[socket.socket] = set()
        self._threads: list[threading.Thread] = []
        self._stopping = threading.Event()
        self._server: Optional[_Server] = None
        self._thread: Optional[threading.Thread] = None

    # -- life cycle
    def start(self) -> "WebhookReceiver":
        if self._process:
            self._child = subprocess.Popen(
                [sys.executable, "-P", __file__, "--control", str(self._port)],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
            )  # fmt: skip
            self._port = self._reply()
            return self
        self._stopping.clear()
        self._server = _Server(("127.0.0.1", self._port), _Handler)
        self._server.receiver = self
        self._port = self._server.server_address[1]
        self._thread = threading.Thread(
            target=self._server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True
        )
        self._thread.start()
        return self

    def stop(self) -> None:
        if self._child is not None:
            child, self._child = self._child, None
            child.stdin.close()  # the child stops at the end of its input
            try:
                child.wait(10)
            except subprocess.TimeoutExpired:
                child.kill()
                child.wait()
            child.stdout.close()
            return
        if self._server is None:
            return
        self._stopping.set()
        self._server.shutdown()
        with self._lock:
            for conn in list(self._connections):
                try:
                    conn.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
        self._server.server_close()
        self._thread.join()
        self._server = self._thread = None

    def __enter__(self) -> "WebhookReceiver":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    # -- addresses
    @property
    def port(self) -> int:
        return self._port

    def url(self, path: str = "/") -> str:
        return f"http://127.0.0.1:{self._port}{path}"

    # -- answers
    def answer(self, status: Optional[int] = 200, delay: float = 0.0, count: Optional[int] = None):
        """How to answer: `status` (None: never), after `delay` seconds; for
        the next `count` requests only, or from now on when `count` is None."""
        if self._child:
            return self._call("answer", status, delay, count)
        with self._lock:
            if count is None:
                self._default = (status, delay)
                self._next.clear()
            else:
                self._next.extend([(status, delay)] * count)

    # -- what arrived
    @property
    def requests(self) -> list[Received]:
        if self._child:
            return [_decode(r) for r in self._call("requests")]
        with self._lock:
            return list(self._requests)

    @property
    def max_in_flight(self) -> int:
        if self._child:
            return self._call("max_in_flight")
        return self._max_in_flight

    def clear(self) -> None:
        """Forgets the requests so far; `max_in_flight` starts again."""
        if self._child:
            return self._call("clear")
        with self._lock:
            self._requests.clear()
            self._max_in_flight = self._in_flight

    def wait_for(self, count: int, timeout: float = 10.0) -> list[Received]:
        """The first `count` requests, once they have arrived; AssertionError
        after `timeout` seconds without them."""
        if self._child:
            return [_decode(r) for r in self._call("wait_for", count, timeout)]
        with self._lock:
            if not self._lock.wait_for(lambda: len(self._requests) >= count, timeout):
                raise AssertionError(
                    f"{len(self._requests)} of {count} requests arrived within {timeout} s"
                )
            return self._requests[:count]

    def idle(self, timeout: float = 10.0) -> None:
        """Waits until every connection made so far has been closed and its
        handler thread has ended."""
        if self._child:
            return self._call("idle", timeout)
        with self._lock:
            threads, self._threads = self._threads, []
        for thread in threads:
            thread.join(timeout)
        with self._lock:
            self._threads[:0] = [t for t in threads if t.is_alive()]

    # -- the pipe to a child receiver
    def _call(self, op, *args):
        self._child.stdin.write(json.dumps([op, *args]) + "\n")
        self._child.stdin.flush()
        return self._reply()

    def _reply(self):
        line = self._child.stdout.readline()
        if not line:
            raise RuntimeError("the webhook receiver's child process ended")
        result = json.loads(line)
        if "error" in result:
            raise AssertionError(result["error"])
        return result["result"]

    # -- called by the handler threads
    def _arrived(self, record: Received):
        with self._lock:
            self._requests.append(record)
            self._in_flight += 1
            self._max_in_flight = max(self._max_in_flight, self._in_flight)
            self._lock.notify_all()
            return self._next.pop(0) if self._next else self._default

    def _finished(self):
        with self._lock:
            self._in_flight -= 1

    def _opened(self, conn, thread):
        with self._lock:
            self._connections.add(conn)
            if len(self._threads) > 64:
                self._threads = [t for t in self._threads if t.is_alive()]
            self._threads.append(thread)

    def _closed(self, conn):
        with self._lock:
            self._connections.discard(conn)


def _encode(record: Received) -> dict:
    return {**asdict(record), "body": record.body.decode("latin-1")}


def _decode(data: dict) -> Received:
    headers = [tuple(pair) for pair in data.pop("headers")]
    return Received(headers=headers, **{**data, "body": data["body"].encode("latin-1")})


def _serve_control(port: int) -> None:
    """The child side of ``process=True``: one JSON command a line on standard
    input, one JSON answer a line on standard output, until the input ends."""
    with WebhookReceiver(port) as receiver:
        print(json.dumps({"result": receiver.port}), flush=True)
        for line in sys.stdin:
            op, *args = json.loads(line)
            try:
                result = getattr(receiver, op)
                result = result(*args) if callable(result) else result
                if op in ("requests", "wait_for"):
                    result = [_encode(r) for r in result]
                reply = {"result": result}
            except AssertionError as error:
                reply = {"error": str(error)}
            print(json.dumps(reply), flush=True)


_reserved: list[socket.socket] = []


def closed_port() -> int:
    """A loopback port that refuses connections: bound for the life of the
    process (so nothing else takes it) but never listening."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.bind(("127.0.0.1", 0))
    _reserved.append(sock)
    return sock.getsockname()[1]


def closed_url(path: str = "/") -> str:
    return f"http://127.0.0.1:{closed_port()}{path}"


def _print_requests(port: int) -> None:
    with WebhookReceiver(port) as receiver:
        print(f"webhook receiver at {receiver.url()}", flush=True)
        seen = 0
        while True:
            try:
                requests = receiver.wait_for(seen + 1, timeout=3600)
            except AssertionError:
                continue
            for r in requests[seen:]:
                print(r.method, r.path, r.body.decode("utf-8", "replace"), flush=True)
            seen = len(requests)


if __name__ == "__main__":
    try:
        if sys.argv[1:2] == ["--control"]:
            _serve_control(int(sys.argv[2]))
        else:
            _print_requests(int(sys.argv[1]) if len(sys.argv) > 1 else 0)
    except KeyboardInterrupt:
        pass
