"""Pytest fixtures for the local Redis servers of ``tools/redis_servers.py``.

Import the ones a test module needs::

    from redis_fixtures import redis_server, redis_cluster  # noqa: F401

Session-scoped servers are shared: tests give their keys unique names instead
of flushing. Tests that stop or kill servers take the function-scoped ones.
"""

import pytest
import redis_servers


@pytest.fixture(scope="session")
def redis_server():
    """One standalone server for the whole session."""
    with redis_servers.single_server() as server:
        yield server


@pytest.fixture(scope="session")
def redis_cluster():
    """A cluster of three masters for the whole session."""
    with redis_servers.cluster() as cluster:
        yield cluster


@pytest.fixture
def stoppable_redis_server():
    """A standalone server of this test's own, which it may stop and start."""
    with redis_servers.single_server() as server:
        yield server


@pytest.fixture
def failover_cluster():
    """Three masters with one replica each, of this test's own, with a short
    node timeout: a killed master's replica takes over within seconds."""
    with redis_servers.cluster(replicas=1) as cluster:
        yield cluster
