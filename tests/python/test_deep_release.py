"""Releasing objects nested a million deep through values, views and iterators.

The classes take no part in cyclic garbage collection, so nothing but the
module itself keeps the release of a long chain from recursing once per
link.  Each chain is built and released in a child interpreter, so that a
stack overflow fails the test instead of killing the test run.
"""

import subprocess
import sys
import textwrap

CHAIN_SCRIPT = textwrap.dedent(
    r"""
    import sys
    import quorvel

    E, F = quorvel.ElasticHashMap, quorvel.FunnelHashMap
    TYPES = [getattr(quorvel, name) for name in quorvel.__all__]

    def wrap_in_map(cls):
        def link(inner):
            outer = cls(capacity=1)
            outer[0] = inner
            return outer
        return link

    class Box:
        __slots__ = ("item",)

        def __init__(self, item):
            self.item = item

    LINKS = {
        "elastic": [wrap_in_map(E)],
        "funnel": [wrap_in_map(F)],
        "mixed": [wrap_in_map(E), wrap_in_map(F)],
        # The interpreter's containers between the maps: its own bound on
        # nested releases and ours must work together.
        "containers": [
            lambda inner: [wrap_in_map(E)(inner)],
            lambda inner: (wrap_in_map(F)(inner),),
            lambda inner: {0: wrap_in_map(E)(inner)},
            lambda inner: Box(wrap_in_map(F)(inner)),
        ],
        "views_and_iterators": [
            lambda inner: wrap_in_map(E)(inner).keys(),
            lambda inner: wrap_in_map(F)(inner).values(),
            lambda inner: iter(wrap_in_map(E)(inner).items()),
            lambda inner: wrap_in_map(F)(inner).items(),
            lambda inner: iter(wrap_in_map(F)(inner).values()),
            lambda inner: iter(wrap_in_map(E)(inner)),
        ],
    }

    def release(chain, how):
        # `chain` holds the only reference to the head of the chain.
        if how == "del":
            chain.clear()
            return
        holder = E() if how == "clear" else F()
        holder[0] = chain.pop()
        if how == "clear":
            holder.clear()
        elif how == "pop":
            holder.pop(0)
        elif how == "replace":
            holder[0] = None
        assert len(holder) == (1 if how == "replace" else 0)

    kind, links, how = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    type_refs = [sys.getrefcount(t) for t in TYPES]
    steps = LINKS[kind]
    chain = [None]
    for i in range(links):
        chain.append(steps[i % len(steps)](chain.pop()))
    if how == "exit":
        # Left for the interpreter to release as it shuts down.
        print("released", kind, links)
        sys.exit(0)
    release(chain, how)
    # every instance owns a reference to its type: all were released
    assert [sys.getrefcount(t) for t in TYPES] == type_refs
    print("released", kind, links)
    """
)


def release_chain(kind, links, how):
    return subprocess.Popen(
        [sys.executable, "-c", CHAIN_SCRIPT, kind, str(links), how],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


def finish(process):
    out, err = process.communicate(timeout=300)
    assert process.returncode == 0, f"child exited with {process.returncode}:\n{err[-3000:]}"
    assert out.startswith("released")


def test_chains_a_million_deep_are_released_without_recursion():
    # Two children at a time: building a million maps takes a few seconds.
    maps = release_chain("mixed", 1_000_000, "del")
    # 500,000 maps, each behind one of the six views and iterators: a
    # million objects deep.
    views = release_chain("views_and_iterators", 500_000, "clear")
    finish(maps)
    finish(views)


def test_other_chains_and_release_paths():
    elastic = release_chain("elastic", 300_000, "pop")
    funnel = release_chain("funnel", 150_000, "replace")
    finish(elastic)
    finish(funnel)
    at_exit = release_chain("mixed", 300_000, "exit")
    containers = release_chain("containers", 200_000, "del")
    finish(at_exit)
    finish(containers)
