"""Shared fixtures: both map classes through one parametrised fixture."""

import os
import subprocess
import sys
import threading

import pytest

import quorvel

MAP_CLASSES = [quorvel.ElasticHashMap, quorvel.FunnelHashMap]


@pytest.fixture(params=MAP_CLASSES, ids=["elastic", "funnel"])
def map_class(request):
    return request.param


def run_in_thread(function):
    """Runs `function` on a new thread; returns what it returned or raised."""
    outcome = {}

    def target():
        try:
            outcome["result"] = function()
        except BaseException as error:  # PanicException is a BaseException
            outcome["error"] = error

    thread = threading.Thread(target=target)
    thread.start()
    thread.join()
    return outcome


class Collide:
    """Equal by value, all in one hash bucket."""

    def __init__(self, value):
        self.value = value

    def __hash__(self):
        return 42

    def __eq__(self, other):
        return isinstance(other, Collide) and self.value == other.value

    def __repr__(self):
        return f"Collide({self.value})"


def _find_panic_exception():
    owned = quorvel.ElasticHashMap()
    error = run_in_thread(lambda: len(owned))["error"]
    return type(error)


PanicException = _find_panic_exception()


def type_check(folder, *files, **env):
    """Runs mypy --strict on `files` in `folder` and returns its report.

    `env` changes the environment of the run (None removes a variable).
    Skips the calling test when mypy is not installed.
    """
    pytest.importorskip("mypy")
    environment = dict(os.environ)
    for name, value in env.items():
        if value is None:
            environment.pop(name, None)
        else:
            environment[name] = value
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(folder / ".mypy_cache"),
         "--no-error-summary", "--hide-error-context", *files],
        capture_output=True, text=True, env=environment, cwd=folder,
    )
    return result.stdout + result.stderr
