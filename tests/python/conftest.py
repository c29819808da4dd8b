"""Shared fixtures: both map classes through one parametrised fixture."""

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


def _find_panic_exception():
    owned = quorvel.ElasticHashMap()
    error = run_in_thread(lambda: len(owned))["error"]
    return type(error)


PanicException = _find_panic_exception()
