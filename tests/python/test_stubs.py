"""The shipped type stubs describe the module as it is at run time.

The stubs are parsed with `ast` and compared class by class with the live
classes: names, dunder methods, properties, class methods, parameter names,
kinds and defaults.  A type checker (mypy, when it is installed) then checks
a realistic program against them under --strict, and a program of mistakes
that the stubs must reject.
"""

import ast
import inspect
import os
import re
import shutil
import subprocess
import types

import pytest

import quorvel
from conftest import type_check

STUB_PATH = os.path.join(os.path.dirname(quorvel.__file__), "quorvel.pyi")

# Present at run time but not declared by the stubs: the interpreter's own
# bookkeeping, and what `object` already declares with the same type.
UNTYPED_RUNTIME_MEMBERS = {"__doc__", "__module__", "__new__", "__slotnames__", "__reduce__", "__repr__", "__hash__"}
# Slot wrappers that exist only because a slot serves both directions or all
# six comparisons; they always return NotImplemented, and declaring them
# would tell a type checker that `{1} & m.keys()` or `m < m` works.
NOT_IMPLEMENTED_DUNDERS = {"__ror__", "__rand__", "__rsub__", "__rxor__", "__lt__", "__le__", "__gt__", "__ge__"}


class StubClass:
    def __init__(self, node: ast.ClassDef):
        self.docstring = ast.get_docstring(node)
        self.functions: dict[str, list[ast.FunctionDef]] = {}
        self.attributes: set[str] = set()
        for item in node.body:
            if isinstance(item, ast.FunctionDef):
                self.functions.setdefault(item.name, []).append(item)
            elif isinstance(item, ast.AnnAssign):
                self.attributes.add(item.target.id)

    def decorators(self, name: str) -> set[str]:
        return {getattr(d, "id", None) for d in self.functions[name][0].decorator_list} - {"overload"}

    @property
    def members(self) -> set[str]:
        return set(self.functions) | self.attributes


def load_stubs() -> tuple[ast.Module, list[str], dict[str, StubClass]]:
    with open(STUB_PATH) as f:
        tree = ast.parse(f.read())
    exported: list[str] = []
    classes: dict[str, StubClass] = {}
    for node in tree.body:
        if isinstance(node, ast.Assign) and getattr(node.targets[0], "id", None) == "__all__":
            exported = [elt.value for elt in node.value.elts]
        elif isinstance(node, ast.ClassDef) and not node.name.startswith("_Supports"):
            classes[node.name] = StubClass(node)
    return tree, exported, classes


STUB_MODULE, EXPORTED, STUBS = load_stubs()


def sample_instances() -> dict[str, object]:
    """One live instance of every class, keyed by its name."""
    instances: dict[str, object] = {
        "ElasticOptions": quorvel.ElasticOptions(),
        "FunnelOptions": quorvel.FunnelOptions(),
    }
    for family, cls in (("Elastic", quorvel.ElasticHashMap), ("Funnel", quorvel.FunnelHashMap)):
        m = cls({1: "a"})
        prefix = family.lower()
        instances[cls.__name__] = m
        instances[f"{prefix}_keys"] = m.keys()
        instances[f"{prefix}_values"] = m.values()
        instances[f"{prefix}_items"] = m.items()
        instances[f"_{family}KeyIter"] = iter(m)
        instances[f"_{family}ValueIter"] = iter(m.values())
        instances[f"_{family}ItemIter"] = iter(m.items())
    return instances


def test_stubs_are_installed_next_to_the_module():
    assert os.path.exists(STUB_PATH)


def test_stub_exports_match_the_module():
    assert EXPORTED == quorvel.__all__
    assert set(STUBS) == set(quorvel.__all__)


@pytest.mark.parametrize("name", quorvel.__all__)
def test_members_match(name):
    runtime = getattr(quorvel, name)
    stub = STUBS[name]
    defined = set(vars(runtime)) - UNTYPED_RUNTIME_MEMBERS
    expected = defined - NOT_IMPLEMENTED_DUNDERS
    declared = stub.members - {"__init__", "__hash__"}
    assert declared == expected
    # No unhashable class is declared hashable, and no hashable one unhashable.
    assert ("__hash__" in stub.attributes) == (runtime.__hash__ is None)


# ---------------------------------------------------------------------------
# Documentation: the run-time docstrings are empty by design, so the stubs
# are where editors and readers find it.


def check_docstring(where: str, docstring: str | None) -> list[str]:
    """The faults of one docstring: missing, or not opening with one summary line."""
    if not docstring:
        return [f"{where}: no docstring"]
    summary = docstring.split("\n\n")[0]
    if "\n" in summary:
        return [f"{where}: the summary is more than one line"]
    return []


def test_the_stub_module_has_a_docstring():
    assert check_docstring("quorvel", ast.get_docstring(STUB_MODULE)) == []


@pytest.mark.parametrize("name", quorvel.__all__)
def test_every_public_name_has_a_docstring(name):
    stub = STUBS[name]
    faults = check_docstring(name, stub.docstring)
    for member, overloads in stub.functions.items():
        # The first overload carries the text, so that editors show it once.
        faults += check_docstring(f"{name}.{member}", ast.get_docstring(overloads[0]))
        faults += [f"{name}.{member}: a later overload has a docstring" for fn in overloads[1:] if ast.get_docstring(fn)]
    assert faults == []


@pytest.mark.parametrize("name", quorvel.__all__)
def test_refused_operators_are_not_declared_and_refuse(name):
    instance = sample_instances()[name]
    for dunder in NOT_IMPLEMENTED_DUNDERS & set(vars(type(instance))):
        assert getattr(instance, dunder)({1}) is NotImplemented, dunder


@pytest.mark.parametrize("name", quorvel.__all__)
def test_properties_and_class_methods_match(name):
    runtime = getattr(quorvel, name)
    stub = STUBS[name]
    for member in stub.functions:
        static = inspect.getattr_static(runtime, member)
        kinds = stub.decorators(member)
        is_property = isinstance(static, types.GetSetDescriptorType)
        assert ("property" in kinds) == is_property, member
        if is_property:
            with pytest.raises(AttributeError):
                setattr(sample_instances()[name], member, None)
        if member != "__class_getitem__":  # implicitly a class method
            assert ("classmethod" in kinds) == isinstance(static, types.ClassMethodDescriptorType), member


def stub_parameters(fn: ast.FunctionDef) -> list[tuple[str, str, bool]]:
    """(name, kind, has default) of every parameter after self / cls."""
    a = fn.args
    positional = [(p.arg, "POSITIONAL_ONLY") for p in a.posonlyargs]
    positional += [(p.arg, "POSITIONAL_OR_KEYWORD") for p in a.args]
    defaults = [False] * (len(positional) - len(a.defaults)) + [True] * len(a.defaults)
    params = [(n, k, d) for (n, k), d in zip(positional, defaults)]
    params += [(p.arg, "KEYWORD_ONLY", d is not None) for p, d in zip(a.kwonlyargs, a.kw_defaults)]
    return params[1:]


def runtime_parameters(obj) -> list[tuple[str, str, bool]] | None:
    try:
        sig = inspect.signature(obj)
    except (TypeError, ValueError):
        return None
    return [(p.name, p.kind.name, p.default is not p.empty) for p in sig.parameters.values()]


def shape(params, names=True, defaults=True):
    return [(n if names else None, kind, d if defaults else None) for n, kind, d in params]


@pytest.mark.parametrize("name", quorvel.__all__)
def test_signatures_match(name):
    runtime = getattr(quorvel, name)
    instance = sample_instances()[name]
    checked = 0
    for member, overloads in STUBS[name].functions.items():
        if "property" in STUBS[name].decorators(member):
            continue
        target = runtime if member == "__init__" else getattr(instance, member)
        actual = runtime_parameters(target)
        if actual is None:
            assert member == "__class_getitem__", f"{name}.{member} has no run-time signature"
            continue
        checked += 1
        # Slot wrappers take positional-only parameters named by the
        # interpreter: only their kinds and defaults are compared.
        names = not member.startswith("__") or member == "__init__"
        # Every overload has the run-time parameters; the first also their
        # defaults (later overloads may narrow a default away).
        for fn in overloads:
            assert shape(actual, names, False) == shape(stub_parameters(fn), names, False), f"{name}.{member}"
        assert shape(actual, names) == shape(stub_parameters(overloads[0]), names), f"{name}.{member}"
    assert checked > 0


# ---------------------------------------------------------------------------
# Run-time generics: ElasticHashMap[str, int] works as dict[str, int] does.


def test_map_classes_are_generic_at_run_time(map_class):
    alias = map_class[str, int]
    assert type(alias) is types.GenericAlias
    assert alias.__origin__ is map_class and alias.__args__ == (str, int)
    assert repr(alias) == f"quorvel.{map_class.__name__}[str, int]"
    assert repr(list[alias]) == f"list[quorvel.{map_class.__name__}[str, int]]"
    m = alias({"a": 1})  # calling the alias builds a plain map
    assert type(m) is map_class and m == {"a": 1}
    with pytest.raises(TypeError):
        isinstance(m, alias)


@pytest.mark.parametrize("name", quorvel.__all__[2:])
def test_other_classes_are_not_subscriptable(name):
    with pytest.raises(TypeError):
        getattr(quorvel, name)[int]


# ---------------------------------------------------------------------------
# The type checker

# A realistic program.  It must type-check cleanly under --strict.
GOOD_SAMPLE = '''
import copy
import pickle
from collections.abc import Iterable, Iterator

import quorvel
from quorvel import ElasticHashMap, FunnelHashMap, FunnelOptions


def word_counts(words: Iterable[str]) -> ElasticHashMap[str, int]:
    counts: ElasticHashMap[str, int] = ElasticHashMap(capacity=1024)
    for word in words:
        counts[word] = counts.get(word, 0) + 1
    return counts


def most_common(counts: ElasticHashMap[str, int], n: int) -> list[tuple[str, int]]:
    return sorted(counts.items(), key=lambda item: item[1], reverse=True)[:n]


counts = word_counts("the cat and the hat".split())
top: list[tuple[str, int]] = most_common(counts, 2)
first: tuple[str, int] = counts.popitem()
removed: int = counts.pop("cat")
fallback: int | str = counts.pop("dog", "missing")
stored: int = counts.setdefault("bat", 0)
maybe: int | None = counts.get("emu")
shared: set[str] = counts.keys() & {"the", "dog"}
only_here: set[str] = counts.keys() - ["the"]
union: set[str | int] = counts.keys() | [1, 2]
pairs: set[tuple[str, int]] = counts.items() - {("the", 2)}
values: list[int] = list(counts.values())
keys: Iterator[str] = iter(counts)
merged: ElasticHashMap[str, int | float] = counts | {"pi": 3.14}
clone: ElasticHashMap[str, int] = counts.copy()
shallow: ElasticHashMap[str, int] = copy.copy(counts)
deep: ElasticHashMap[str, int] = copy.deepcopy(counts)
restored: ElasticHashMap[str, int] = pickle.loads(pickle.dumps(counts))
plain: dict[str, int] = dict(counts)
same: bool = counts == plain and "the" in counts and len(counts) > 0
counts.update({"owl": 1})
counts.update([("yak", 2)])
del counts["owl"]
counts.clear()

options = FunnelOptions(capacity=100_000, reserve_fraction=0.01)
limit: int | None = options.primary_probe_limit
fraction: float = options.reserve_fraction
table: FunnelHashMap[int, str] = FunnelHashMap.with_options(options)
table[1] = "one"
for key, value in table.items():
    text: str = value * key
capacity: int = table.capacity
alias = FunnelHashMap[int, str]
built = alias({2: "two"})
elastic = ElasticHashMap.with_options(quorvel.ElasticOptions(probe_scale=4.0))
scale: float = quorvel.ElasticOptions(probe_scale=4.0).probe_scale
'''

# Mistakes the stubs must catch: every line marked "# error" and no other.
BAD_SAMPLE = '''
import quorvel

m: quorvel.ElasticHashMap[str, int] = quorvel.ElasticHashMap()
m["a"] = "x"  # error
m[1] = 2  # error
s: str = m["a"]  # error
m < m  # error
{"a": 1} | m  # error
{"a"} & m.keys()  # error
m.keys() < {"a"}  # error
quorvel.ElasticHashMap({}, 5)  # error
quorvel.ElasticHashMap.with_options(quorvel.FunnelOptions())  # error
quorvel.FunnelOptions(primary_probe_limit=1.5)  # error
quorvel.ElasticOptions(capacity=1.5)  # error
quorvel.ElasticOptions(reserve_fraction="0.1")  # error
n: int = m.get("a")  # error
m.capacity = 3  # error
'''


def test_stubs_pass_the_type_checker(tmp_path):
    (tmp_path / "good.py").write_text(GOOD_SAMPLE)
    (tmp_path / "bad.py").write_text(BAD_SAMPLE)
    # Only the samples are named; mypy finds the module's stubs (and checks
    # them) through MYPYPATH, as it would find them for a user.
    report = type_check(tmp_path, "good.py", "bad.py", MYPYPATH=os.path.dirname(STUB_PATH))
    errors = re.findall(r"^([\w.]+):(\d+): error:", report, re.MULTILINE)
    expected = [("bad.py", str(i)) for i, line in enumerate(BAD_SAMPLE.splitlines(), 1) if line.endswith("# error")]
    assert sorted(set(errors), key=lambda e: (e[0], int(e[1]))) == expected, report


def test_installed_stubs_are_found_by_the_type_checker(tmp_path):
    # mypy finds stubs in site-packages only as packages: the install puts
    # them there as quorvel-stubs besides quorvel.pyi.  PYTHONPATH entries
    # follow the same rules, so an install prefix on it stands for
    # site-packages.
    pytest.importorskip("mypy")
    build = os.path.dirname(os.path.dirname(quorvel.__file__))
    if not os.path.exists(os.path.join(build, "CMakeCache.txt")) or shutil.which("cmake") is None:
        pytest.skip("the module does not come from a CMake build tree")
    site = tmp_path / "site"
    subprocess.run(["cmake", "--install", build, "--prefix", str(site)], check=True, capture_output=True)
    (tmp_path / "sample.py").write_text("import quorvel\nreveal_type(quorvel.FunnelHashMap[int, str]().keys())\n")
    report = type_check(tmp_path, "sample.py", MYPYPATH=None, PYTHONPATH=str(site))
    assert 'Revealed type is "quorvel.funnel_keys[int, str]"' in report, report
