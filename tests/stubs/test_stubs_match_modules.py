"""The type stubs beside the native modules say what the modules really offer.

Names, method kinds (coroutine function, async generator, plain) and parameters are compared
with the built modules, so a stub that drifts from its module fails here rather than in a
host's type check.
"""

import ast
import collections.abc
import importlib
import inspect
import re
from pathlib import Path

import pytest

import quenlet_master.business_layer.packages as packages

MODULES = ["manager", "repo_finder"]


def stub_tree(module_name):
    return ast.parse((Path(packages.__file__).parent / f"{module_name}.pyi").read_text())


def load(module_name):
    try:
        return importlib.import_module(f"{packages.__name__}.{module_name}")
    except ImportError:
        pytest.skip(f"the {module_name} module is not built")


def exported(body):
    """What a stub body declares, by the rules type checkers apply to stubs: an import is
    a re-export only when written ``import x as x`` or ``from m import x as x``."""
    names = {}
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            names[node.name] = node
        elif isinstance(node, ast.AnnAssign):
            names[node.target.id] = node
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            names.update({a.asname: node for a in node.names if a.asname == a.name})
    return names


def is_dunder(name):
    return name.startswith("__") and name.endswith("__")


@pytest.mark.parametrize("module_name", MODULES)
def test_stub_declares_exactly_the_module_names(module_name):
    module = load(module_name)
    declared = set(exported(stub_tree(module_name).body))
    bound = {name for name in vars(module) if not is_dunder(name)}
    assert sorted(declared - bound) == [], "declared in the stub, missing from the module"
    assert sorted(bound - declared) == [], "bound by the module, missing from the stub"


def stub_functions():
    """(module, class or None, function node) for every function the stubs declare."""
    for module_name in MODULES:
        for name, node in exported(stub_tree(module_name).body).items():
            if isinstance(node, ast.ClassDef):
                for member in node.body:
                    if isinstance(member, (ast.FunctionDef, ast.AsyncFunctionDef)):
                        yield pytest.param(
                            module_name, name, member, id=f"{module_name}.{name}.{member.name}"
                        )
            elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                yield pytest.param(module_name, None, node, id=f"{module_name}.{name}")


def stub_kind(node):
    if isinstance(node, ast.AsyncFunctionDef):
        return "coroutine"
    if node.returns is not None and ast.unparse(node.returns).startswith("AsyncGenerator["):
        return "async generator"
    return "plain"


def describe(arguments):
    """[(name, kind, default source or None)] of an ``ast.arguments``, ``self`` left out."""
    positional = arguments.posonlyargs + arguments.args
    defaults = [None] * (len(positional) - len(arguments.defaults)) + list(arguments.defaults)
    params = [
        (arg.arg, "positional-only" if arg in arguments.posonlyargs else "positional-or-keyword", default)
        for arg, default in zip(positional, defaults, strict=True)
    ]
    if arguments.vararg:
        params.append((arguments.vararg.arg, "var-positional", None))
    params += [
        (arg.arg, "keyword-only", default)
        for arg, default in zip(arguments.kwonlyargs, arguments.kw_defaults, strict=True)
    ]
    if arguments.kwarg:
        params.append((arguments.kwarg.arg, "var-keyword", None))
    return [
        (name, kind, None if default is None else ast.unparse(default))
        for name, kind, default in params
        if name != "self"
    ]


def runtime_parameters(function):
    """The parameters the module reports for ``function``, or None when it reports none."""
    nb_signature = getattr(function, "__nb_signature__", None)
    if nb_signature:
        # nanobind writes defaults as \\0, \\1 ... and hands their values over beside the text.
        text, _doc, defaults = nb_signature[0]
        text = re.sub(r"\\(\d+)", lambda m: repr(defaults[int(m.group(1))]), text)
        return describe(ast.parse(text + ": ...").body[0].args)
    try:
        signature = inspect.signature(function)
    except (TypeError, ValueError):
        return None
    kinds = {
        inspect.Parameter.POSITIONAL_ONLY: "positional-only",
        inspect.Parameter.POSITIONAL_OR_KEYWORD: "positional-or-keyword",
        inspect.Parameter.VAR_POSITIONAL: "var-positional",
        inspect.Parameter.KEYWORD_ONLY: "keyword-only",
        inspect.Parameter.VAR_KEYWORD: "var-keyword",
    }
    return [
        (p.name, kinds[p.kind], None if p.default is p.empty else repr(p.default))
        for p in signature.parameters.values()
        if p.name != "self"
    ]


def sample_value(arg, index_url):
    """A value of the declared type for a required parameter; nothing is ever installed."""
    annotation = ast.unparse(arg.annotation) if arg.annotation else "Any"
    if annotation == "Any" or annotation.endswith("| None"):
        return None
    if annotation in ("int", "bytes"):
        return {"int": 1, "bytes": b""}[annotation]
    samples = {"index_url": index_url, "version": "1.0", "version_spec": ">=1", "req": "sample>=1"}
    return samples.get(arg.arg, "sample")


def call_as_declared(function, node, index_url):
    """Calls ``function`` with every parameter the stub declares, by keyword where it may be."""
    arguments = node.args
    positional = arguments.posonlyargs + arguments.args
    defaults = dict(zip(reversed(positional), reversed(arguments.defaults), strict=False))
    by_position, by_keyword = [], {}
    for arg in positional:
        if arg.arg == "self":
            continue
        value = ast.literal_eval(defaults[arg]) if arg in defaults else sample_value(arg, index_url)
        if arg in arguments.posonlyargs:
            by_position.append(value)
        else:
            by_keyword[arg.arg] = value
    return function(*by_position, **by_keyword)


@pytest.fixture
def instances(tmp_path, monkeypatch, local_index_server):
    """Makes an object of a stubbed class through its constructor, called as the stub declares."""
    monkeypatch.chdir(tmp_path)

    def make(module_name, class_name):
        cls = getattr(load(module_name), class_name)
        stub_class = exported(stub_tree(module_name).body)[class_name]
        init = next((n for n in stub_class.body if getattr(n, "name", None) == "__init__"), None)
        return call_as_declared(cls, init, local_index_server.simple_url) if init else cls()

    return make


@pytest.mark.parametrize(("module_name", "class_name", "node"), list(stub_functions()))
async def test_each_function_has_the_declared_kind_and_parameters(
    module_name, class_name, node, instances, local_index_server
):
    module = load(module_name)
    owner = module if class_name is None else getattr(module, class_name)
    function = vars(owner).get(node.name) if class_name else getattr(module, node.name, None)
    assert function is not None, f"{node.name} is missing"

    reported = runtime_parameters(getattr(owner, node.name))
    if reported is not None:
        assert reported == describe(node.args)
    if node.name == "__init__":
        return

    target = module if class_name is None else instances(module_name, class_name)
    result = call_as_declared(getattr(target, node.name), node, local_index_server.simple_url)
    if isinstance(result, collections.abc.Coroutine):
        kind = "coroutine"
        result.close()
    elif isinstance(result, collections.abc.AsyncGenerator):
        kind = "async generator"
        await result.aclose()
    else:
        kind = "plain"
    assert kind == stub_kind(node)


@pytest.mark.parametrize(
    ("module_name", "class_name"),
    [
        (m, name)
        for m in MODULES
        for name, node in exported(stub_tree(m).body).items()
        if isinstance(node, ast.ClassDef)
    ],
)
def test_instances_carry_the_declared_attributes(module_name, class_name, instances):
    stub_class = exported(stub_tree(module_name).body)[class_name]
    declared = {n.target.id for n in stub_class.body if isinstance(n, ast.AnnAssign)}
    instance = instances(module_name, class_name)
    assert set(getattr(instance, "__dict__", {})) == declared
