"""Local Redis servers on free loopback ports, for tests, benchmarks and the
example start-up.

Every server is a ``redis-server`` child process without persistence, working
in a temporary directory, and is stopped by its own pid. Three shapes, each a
context manager::

    with single_server() as server:
        server.address        # "127.0.0.1:PORT" (what the package's settings hold)
        server.url            # "redis://127.0.0.1:PORT"
        server.stop(); server.start()   # down and up again on the same port
        server.pause(); server.resume() # silent (SIGSTOP) but still accepting, and back

    with cluster() as c:                     # three masters
        c.address             # "127.0.0.1:PORT" of the first master
        c.master_of_slot(0)   # the RedisServer serving a slot
        c.names_per_master()  # one key name landing on each master

    with cluster(replicas=1) as c:           # three masters with one replica each
        victim = c.master_of_slot(c.keyslot("some-key"))
        c.kill(victim)                       # SIGKILL, no goodbye to the cluster
        c.wait_for_takeover(victim)          # until its replica serves its slots
        c.rejoin(victim)                     # back as the replica of its successor
        c.wait_for_replication()             # every write reached the replicas

``command(*args)`` on a server sends one command and returns the decoded reply;
it needs no client library.
"""

from __future__ import annotations

import contextlib
import itertools
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from typing import Callable, Iterator

HOST = "127.0.0.1"
START_TIMEOUT = 15.0
CLUSTER_TIMEOUT = 60.0
_names = itertools.count()
# A server ends with the thread that started it, also when the process dies
# without cleaning up (a crashed test run leaves no server behind): start
# servers from a thread that outlives them, such as the main thread.
_LAUNCH = ["setpriv", "--pdeathsig", "TERM"] if shutil.which("setpriv") else []


class ReplyError(Exception):
    """An error reply from the server."""


def _read_reply(stream):
    line = stream.readline()
    if not line.endswith(b"\r\n"):
        raise ConnectionError("connection closed by the server")
    kind, rest = line[:1], line[1:-2]
    if kind == b"+":
        return rest.decode()
    if kind == b"-":
        raise ReplyError(rest.decode())
    if kind == b":":
        return int(rest)
    if kind == b"$":
        size = int(rest)
        return None if size < 0 else stream.read(size + 2)[:-2].decode()
    if kind == b"*":
        size = int(rest)
        return None if size < 0 else [_read_reply(stream) for _ in range(size)]
    raise ConnectionError(f"unexpected reply {line!r}")


def send_command(port: int, *args, timeout: float = 2.0):
    """One command on a fresh connection; the decoded reply."""
    parts = [a if isinstance(a, bytes) else str(a).encode() for a in args]
    request = b"*%d\r\n" % len(parts) + b"".join(b"$%d\r\n%s\r\n" % (len(p), p) for p in parts)
    with socket.create_connection((HOST, port), timeout=timeout) as sock:
        sock.sendall(request)
        with sock.makefile("rb") as stream:
            return _read_reply(stream)


def _port_is_free(port: int) -> bool:
    with socket.socket() as sock:
        try:
            sock.bind((HOST, port))
        except OSError:
            return False
    return True


def free_port(cluster_bus: bool = False) -> int:
    """A free loopback port; with ``cluster_bus`` also port + 10000 is free."""
    while True:
        with socket.socket() as sock:
            sock.bind((HOST, 0))
            port = sock.getsockname()[1]
        if not cluster_bus or (port + 10000 <= 65535 and _port_is_free(port + 10000)):
            return port


def _wait(condition, timeout: float, what: str, interval: float = 0.05):
    deadline = time.monotonic() + timeout
    while True:
        try:
            if condition():
                return
        except (OSError, ReplyError):
            pass
        if time.monotonic() > deadline:
            raise TimeoutError(f"timed out waiting for {what}")
        time.sleep(interval)


class RedisServer:
    """One ``redis-server`` process on a fixed loopback port."""

    def __init__(self, port: int, directory: str, *options: str):
        self.port = port
        self.directory = directory
        self.options = options
        self.process: subprocess.Popen | None = None

    @property
    def address(self) -> str:
        return f"{HOST}:{self.port}"

    @property
    def url(self) -> str:
        return f"redis://{self.address}"

    @property
    def running(self) -> bool:
        return self.process is not None and self.process.poll() is None

    def command(self, *args, timeout: float = 2.0):
        return send_command(self.port, *args, timeout=timeout)

    def hgetall(self, key: str) -> dict[str, str]:
        flat = self.command("HGETALL", key)
        return dict(zip(flat[::2], flat[1::2]))

    def start(self) -> "RedisServer":
        """Starts the process and waits until it answers PING."""
        log = open(os.path.join(self.directory, f"redis-{self.port}.log"), "ab")
        with log:
            self.process = subprocess.Popen(
                [*_LAUNCH, "redis-server", "--port", str(self.port), "--bind", HOST,
                 "--save", "", "--appendonly", "no", "--dir", self.directory,
                 "--daemonize", "no", *self.options],
                stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
            )  # fmt: skip

        def answers():
            if self.process.poll() is not None:
                raise RuntimeError(f"redis-server on port {self.port} exited: {self.log_tail()}")
            return self.command("PING", timeout=0.5) == "PONG"

        try:
            _wait(answers, START_TIMEOUT, f"redis-server on port {self.port}")
        except BaseException:
            self.kill()
            raise
        return self

    def log_tail(self, lines: int = 5) -> str:
        with open(os.path.join(self.directory, f"redis-{self.port}.log"), "rb") as log:
            return b"".join(log.readlines()[-lines:]).decode(errors="replace")

    def _end(self, sig: int):
        if self.process is None:
            return
        if self.process.poll() is None:
            os.kill(self.process.pid, sig)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                os.kill(self.process.pid, signal.SIGKILL)
                self.process.wait()
        self.process = None

    def stop(self):
        """Ends the process (SIGTERM) and waits for it."""
        self._end(signal.SIGTERM)

    def kill(self):
        """Ends the process at once (SIGKILL), as a crash would."""
        self._end(signal.SIGKILL)

    def pause(self):
        """Stops the process (SIGSTOP): the kernel still accepts connections
        and takes requests, but nothing answers until ``resume``. A client
        without a socket timeout waits as long: resume from another thread
        (a timer) when the test's own thread talks to the server."""
        os.kill(self.process.pid, signal.SIGSTOP)

    def resume(self):
        """Lets a paused process go on (SIGCONT)."""
        if self.running:
            os.kill(self.process.pid, signal.SIGCONT)


def _spawn(directory: str, options: tuple[str, ...], cluster_bus: bool) -> RedisServer:
    """Starts a server on a free port, retrying when another process takes
    the port between the choice and the bind."""
    for attempt in range(5):
        server = RedisServer(free_port(cluster_bus), directory, *options)
        try:
            return server.start()
        except RuntimeError:
            if attempt == 4:
                raise
    raise AssertionError("unreachable")


@contextlib.contextmanager
def _directory() -> Iterator[str]:
    directory = tempfile.mkdtemp(prefix="redis-local-")
    try:
        yield directory
    finally:
        shutil.rmtree(directory, ignore_errors=True)


@contextlib.contextmanager
def single_server(*options: str) -> Iterator[RedisServer]:
    """One standalone server; extra ``redis-server`` options may be given."""
    with _directory() as directory:
        server = _spawn(directory, options, cluster_bus=False)
        try:
            yield server
        finally:
            server.stop()


def _layout(server: RedisServer) -> tuple:
    """The slot ranges as one node sees them: (first, last, master port,
    replica ports)."""
    reply = server.command("CLUSTER", "SLOTS")
    return tuple(sorted((r[0], r[1], r[2][1], tuple(sorted(n[1] for n in r[3:]))) for r in reply))


def _fields(text: str) -> list[list[str]]:
    """The "name:value" lines of an INFO-style reply."""
    return [line.split(":", 1) for line in text.split("\r\n") if ":" in line]


def _cluster_info(server: RedisServer) -> dict[str, str]:
    return dict(_fields(server.command("CLUSTER", "INFO")))


class Cluster:
    """The servers of a running cluster."""

    def __init__(self, nodes: list[RedisServer], masters: int):
        self.nodes = nodes
        self.masters = nodes[:masters]  # as created; a takeover changes the roles

    @property
    def address(self) -> str:
        return self.masters[0].address

    def alive(self) -> list[RedisServer]:
        return [n for n in self.nodes if n.running]

    def slots(self) -> list[tuple[int, int, int]]:
        """(first slot, last slot, master port) as a live node sees them."""
        return [r[:3] for r in _layout(self.alive()[0])]

    def keyslot(self, key: str) -> int:
        return self.alive()[0].command("CLUSTER", "KEYSLOT", key)

    def master_of_slot(self, slot: int) -> RedisServer:
        for first, last, port in self.slots():
            if first <= slot <= last:
                return next(n for n in self.nodes if n.port == port)
        raise LookupError(f"slot {slot} is not served")

    def names_per_master(self, to_key: Callable[[str], str] = str) -> list[str]:
        """One fresh name per master, in the masters' order, such that the key
        ``to_key(name)`` lands on that master."""
        slots, found = self.slots(), {}
        while len(found) < len(self.masters):
            name = f"name-{next(_names)}"
            slot = self.keyslot(to_key(name))
            found.setdefault(next(p for first, last, p in slots if first <= slot <= last), name)
        return [found[m.port] for m in self.masters]

    def kill(self, node: RedisServer):
        node.kill()

    def rejoin(self, node: RedisServer, timeout: float = CLUSTER_TIMEOUT):
        """Starts a killed node again with its own cluster configuration; a
        master that was failed over comes back as its successor's replica."""
        node.start()
        self.wait_until_healthy(timeout)

    def wait_for_replication(self, timeout: float = CLUSTER_TIMEOUT):
        """Waits until every replica has acknowledged all its master wrote."""

        def caught_up():
            for node in self.alive():
                info = dict(_fields(node.command("INFO", "replication")))
                replicas = [dict(f.split("=", 1) for f in info[k].split(","))
                            for k in info if k.startswith("slave") and k[5:].isdigit()]  # fmt: skip
                offset = int(info.get("master_repl_offset", 0))
                if info["role"] == "master" and any(int(r["offset"]) < offset for r in replicas):
                    return False
            return True

        _wait(caught_up, timeout, "the replicas to catch up", 0.1)

    def healthy(self) -> bool:
        """Every live node reports ok, agrees on the slots, and every replica's
        link to its master is up."""
        try:
            return self._healthy()
        except (OSError, ReplyError):
            return False

    def _healthy(self) -> bool:
        alive = self.alive()
        if any(_cluster_info(n).get("cluster_state") != "ok" for n in alive):
            return False
        layouts = {_layout(n) for n in alive}
        if len(layouts) != 1:
            return False
        ports = {n.port for n in alive}
        if any(master not in ports for _, _, master, _ in next(iter(layouts))):
            return False
        for node in alive:
            info = node.command("INFO", "replication")
            if "role:slave" in info and "master_link_status:up" not in info:
                return False
        return True

    def wait_until_healthy(self, timeout: float = CLUSTER_TIMEOUT):
        _wait(self.healthy, timeout, "the cluster to report ok on every node", 0.1)

    def wait_for_takeover(self, victim: RedisServer, timeout: float = CLUSTER_TIMEOUT):
        """Waits until every slot is served by a live master and no live node
        names the victim as the master of any slot."""
        self.wait_until_healthy(timeout)
        assert all(port != victim.port for *_, port in self.slots())


@contextlib.contextmanager
def cluster(
    masters: int = 3, replicas: int = 0, node_timeout_ms: int | None = None
) -> Iterator[Cluster]:
    """A cluster of ``masters`` masters with ``replicas`` replicas each.

    With replicas the node timeout defaults to 1000 ms, so that a killed
    master's replica takes over within a few seconds; every replica may be
    promoted however long its link was down.
    """
    options = ["--cluster-enabled", "yes"]
    if replicas:
        node_timeout_ms = node_timeout_ms or 1000
        options += ["--cluster-replica-validity-factor", "0", "--repl-diskless-sync-delay", "0"]
    if node_timeout_ms:
        options += ["--cluster-node-timeout", str(node_timeout_ms)]
    with _directory() as directory, contextlib.ExitStack() as stack:
        nodes = []
        for _ in range(masters * (1 + replicas)):
            port_options = (*options, "--cluster-config-file", f"nodes-{len(nodes)}.conf")
            server = _spawn(directory, port_options, cluster_bus=True)
            stack.callback(server.stop)
            nodes.append(server)
        subprocess.run(
            ["redis-cli", "--cluster", "create", *(n.address for n in nodes),
             "--cluster-replicas", str(replicas), "--cluster-yes"],
            check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=CLUSTER_TIMEOUT,
        )  # fmt: skip
        result = Cluster(nodes, masters)
        result.wait_until_healthy()
        yield result
