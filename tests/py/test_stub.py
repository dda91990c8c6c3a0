"""The type stubs against the package as it runs: every public member of
lomra and lomra._quib_lomra, and of their classes, is in the stubs and the
stubs hold nothing else; signatures agree wherever the runtime shows them;
and an installed lomra ships the stubs, py.typed and its metadata."""

import ast
import importlib
import importlib.metadata
import importlib.util
import inspect
import pathlib

import pytest

from conftest import ROOT, lomra

MODULES = ["lomra", "lomra._quib_lomra"]
SOURCE_PACKAGE = ROOT / "lomra"
PACKAGE_DIR = pathlib.Path(lomra.__file__).parent
# A type that may be subclassed has this flag; the stubs mark the others @final.
Py_TPFLAGS_BASETYPE = 1 << 10
# Module-level names that count as public although they start with "_".
PUBLIC_DUNDERS = {"__version__"}


def stub_file(module_name):
    """The stub of a module: beside the imported package (an installed
    wheel), else in the source tree (a package assembled from a build)."""
    name = module_name.rpartition(".")[2] if "." in module_name else "__init__"
    beside = PACKAGE_DIR / f"{name}.pyi"
    return beside if beside.exists() else SOURCE_PACKAGE / f"{name}.pyi"


def is_public(name):
    return not name.startswith("_") or name in PUBLIC_DUNDERS


# --- what a stub says ---------------------------------------------------------------


def stub_signature(fn, drop_first=False):
    """The inspect.Signature of a stub function, without annotations; a
    default written as `...` stays Ellipsis."""
    a = fn.args
    positional = a.posonlyargs + a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
    params = []
    for i, (arg, default) in enumerate(zip(positional, defaults)):
        kind = (inspect.Parameter.POSITIONAL_ONLY if i < len(a.posonlyargs)
                else inspect.Parameter.POSITIONAL_OR_KEYWORD)
        value = inspect.Parameter.empty if default is None else ast.literal_eval(default)
        params.append(inspect.Parameter(arg.arg, kind, default=value))
    if a.vararg:
        params.append(inspect.Parameter(a.vararg.arg, inspect.Parameter.VAR_POSITIONAL))
    for arg, default in zip(a.kwonlyargs, a.kw_defaults):
        value = inspect.Parameter.empty if default is None else ast.literal_eval(default)
        params.append(inspect.Parameter(arg.arg, inspect.Parameter.KEYWORD_ONLY, default=value))
    if a.kwarg:
        params.append(inspect.Parameter(a.kwarg.arg, inspect.Parameter.VAR_KEYWORD))
    return inspect.Signature(params[1:] if drop_first else params)


def decorators(node):
    return {d.id if isinstance(d, ast.Name) else ast.unparse(d) for d in node.decorator_list}


def stub_members(body):
    """Name -> node of the definitions in a module or class body; a
    re-export (`from m import X as X`) maps to ("reexport", module, name)."""
    members = {}
    for node in body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            members[node.name] = node
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            members[node.target.id] = node
        elif isinstance(node, ast.Assign):
            for target in node.targets:
                if isinstance(target, ast.Name):
                    members[target.id] = node
        elif isinstance(node, ast.ImportFrom):
            for alias in node.names:
                if alias.asname == alias.name:
                    source = "." * node.level + (node.module or "")
                    members[alias.name] = ("reexport", source, alias.name)
    return members


def stub_all(body):
    for node in body:
        if isinstance(node, ast.Assign) and any(getattr(t, "id", None) == "__all__" for t in node.targets):
            return ast.literal_eval(node.value)
    return None


# --- comparing ----------------------------------------------------------------------


def without_annotations(sig):
    return sig.replace(parameters=[p.replace(annotation=inspect.Parameter.empty) for p in sig.parameters.values()],
                       return_annotation=inspect.Signature.empty)


def runtime_signature(obj):
    try:
        return without_annotations(inspect.signature(obj))
    except (TypeError, ValueError):
        return None  # nothing introspectable: only the name is compared


def signature_problems(where, stub_fn, runtime_obj, drop_first=False):
    actual = runtime_signature(runtime_obj)
    if actual is None:
        return []
    expected = stub_signature(stub_fn, drop_first)
    # A stub default of `...` stands for whatever the runtime has.
    params = []
    for p, q in zip(expected.parameters.values(), actual.parameters.values()):
        params.append(p.replace(default=q.default) if p.default is Ellipsis else p)
    params += list(expected.parameters.values())[len(params):]
    expected = expected.replace(parameters=params)
    if expected != actual:
        return [f"{where}: stub {expected}, runtime {actual}"]
    return []


def class_runtime_members(cls):
    """Public names a class defines itself; for an exception class with its
    own __init__, also the attributes that __init__ sets."""
    names = {n for n in vars(cls) if is_public(n)}
    if issubclass(cls, BaseException) and "__init__" in vars(cls):
        names |= {n for n in vars(cls()) if is_public(n)}
    return names


def class_problems(qualname, cls, node):
    where = qualname
    problems = []
    stub_bases = [ast.unparse(b) for b in node.bases] or ["object"]
    runtime_bases = [b.__name__ for b in cls.__bases__]
    if stub_bases != runtime_bases:
        problems.append(f"{where}: stub bases {stub_bases}, runtime {runtime_bases}")
    final = "final" in decorators(node)
    subclassable = bool(cls.__flags__ & Py_TPFLAGS_BASETYPE)
    if final == subclassable:
        problems.append(f"{where}: @final in the stub is {final}, but the type "
                        f"{'can' if subclassable else 'cannot'} be subclassed")

    members = stub_members(node.body)
    stub_names = {n for n in members if is_public(n)}
    runtime_names = class_runtime_members(cls)
    for name in sorted(runtime_names - stub_names):
        problems.append(f"{where}.{name} is missing from the stub")
    for name in sorted(stub_names - runtime_names):
        problems.append(f"{where}.{name} is in the stub but not in the class")

    for name in sorted(stub_names & runtime_names):
        stub_node = members[name]
        runtime = inspect.getattr_static(cls, name, None)
        is_property = isinstance(stub_node, ast.FunctionDef) and "property" in decorators(stub_node)
        is_descriptor = inspect.isgetsetdescriptor(runtime) or isinstance(runtime, property) \
            or inspect.ismemberdescriptor(runtime)
        if isinstance(stub_node, ast.FunctionDef):
            if is_property != is_descriptor:
                problems.append(f"{where}.{name}: a property in the stub is {is_property}, "
                                f"a data descriptor in the class is {is_descriptor}")
            elif not is_property:
                problems += signature_problems(f"{where}.{name}", stub_node, getattr(cls, name))
        elif callable(runtime) and not is_descriptor:
            problems.append(f"{where}.{name} is a method, the stub does not say so")
    if "__init__" in members:
        problems += signature_problems(f"{where}()", members["__init__"], cls, drop_first=True)
    return problems


def module_problems(module, source):
    """Every difference between a module and the text of its stub."""
    tree = ast.parse(source)
    members = stub_members(tree.body)
    problems = []
    if stub_all(tree.body) != getattr(module, "__all__", None):
        problems.append(f"{module.__name__}.__all__: stub {stub_all(tree.body)}, "
                        f"runtime {getattr(module, '__all__', None)}")
    runtime_names = {n for n in vars(module) if is_public(n)}
    stub_names = {n for n in members if is_public(n) and n != "__all__"}
    for name in sorted(runtime_names - stub_names):
        problems.append(f"{module.__name__}.{name} is missing from the stub")
    for name in sorted(stub_names - runtime_names):
        problems.append(f"{module.__name__}.{name} is in the stub but not in the module")

    for name in sorted(runtime_names & stub_names):
        obj, node, where = getattr(module, name), members[name], f"{module.__name__}.{name}"
        if isinstance(node, tuple):
            _, source, source_name = node
            package = module.__name__ if hasattr(module, "__path__") else module.__name__.rpartition(".")[0]
            origin = importlib.import_module(importlib.util.resolve_name(source, package))
            if getattr(origin, source_name, None) is not obj:
                problems.append(f"{where}: the stub re-exports {source}.{source_name}, "
                                f"which is not the module's {name}")
        elif inspect.isclass(obj):
            if not isinstance(node, ast.ClassDef):
                problems.append(f"{where} is a class, the stub does not say so")
            else:
                problems += class_problems(where, obj, node)
        elif callable(obj):
            if not isinstance(node, ast.FunctionDef):
                problems.append(f"{where} is a function, the stub does not say so")
            else:
                problems += signature_problems(where, node, obj)
        elif not isinstance(node, ast.AnnAssign):
            problems.append(f"{where} is a value, the stub does not annotate it")
        elif isinstance(node.annotation, ast.Name) and type(obj).__name__ != node.annotation.id:
            problems.append(f"{where}: stub type {node.annotation.id}, runtime {type(obj).__name__}")
    return problems


# --- the tests ----------------------------------------------------------------------


@pytest.mark.parametrize("name", MODULES)
def test_stub_describes_the_module(name):
    module = importlib.import_module(name)
    assert module_problems(module, stub_file(name).read_text(encoding="utf-8")) == []


# Each edit of the native module's stub makes it wrong in one way that the
# comparison must report.
STUB_FAULTS = {
    "method missing": ("    def reopen(self, /) -> None: ...\n", "", "Connection.reopen is missing"),
    "method the class lacks": ("    def reset(self, /) -> None: ...\n",
                               "    def reset(self, /) -> None: ...\n    def rewind(self, /) -> None: ...\n",
                               "Throughput.rewind is in the stub"),
    "parameter renamed": ("def function_description(self, /, name: str)",
                          "def function_description(self, /, fname: str)", "Connection.function_description:"),
    "default changed": ("timeout: SupportsFloat = 2.0", "timeout: SupportsFloat = 3.0", "Server.serve_one:"),
    "self not positional-only": ("def cancel(self, /)", "def cancel(self)", "Connection.cancel:"),
    "method as an attribute": ("    def reopen(self, /) -> None: ...\n", "    reopen: int\n",
                               "Connection.reopen is a method"),
    "property as a method": ("    @property\n    def handle(self)", "    def handle(self)", "Connection.handle:"),
    "constructor arguments": ("def __init__(self, params: dict[str, str], config: dict[str, Any])",
                              "def __init__(self, params: dict[str, str])", "Connection():"),
    "class not final": ("@final\nclass Server:", "class Server:", "Server: @final"),
    "module function missing": ("def register_exceptions(", "def _register_exceptions(",
                                "register_exceptions is missing"),
    "version of another type": ("__version__: str", "__version__: int", "__version__: stub type int"),
}


@pytest.mark.parametrize("fault", list(STUB_FAULTS))
def test_a_wrong_stub_is_reported(fault):
    old, new, expected = STUB_FAULTS[fault]
    source = stub_file("lomra._quib_lomra").read_text(encoding="utf-8")
    assert old in source, "the stub no longer has the text this case edits"
    problems = module_problems(lomra._quib_lomra, source.replace(old, new, 1))
    assert any(expected in p for p in problems), problems


def test_a_wrong_exception_stub_is_reported():
    source = stub_file("lomra").read_text(encoding="utf-8")
    for old, new, expected in [
        ("    msg_v4: str\n", "", "RFCError.msg_v4 is missing"),
        ('code: int | None = None,', 'code: int | None = 0,', "RFCError():"),
        ("class LogonError(RFCError): ...", "class LogonError(Exception): ...", "LogonError: stub bases"),
        ('    "__version__",\n]', "]", "__all__"),
    ]:
        assert old in source
        problems = module_problems(lomra, source.replace(old, new, 1))
        assert any(expected in p for p in problems), (old, problems)


def installed_distribution():
    """The installed distribution of the lomra that the tests import, or None."""
    try:
        dist = importlib.metadata.distribution("lomra")
    except importlib.metadata.PackageNotFoundError:
        return None
    init = pathlib.Path(dist.locate_file("lomra/__init__.py"))
    return dist if init.exists() and init.samefile(lomra.__file__) else None


def test_the_installed_wheel_ships_stubs_and_metadata():
    dist = installed_distribution()
    if dist is None:
        pytest.skip("lomra is assembled from a build, not installed from a wheel")
    files = {str(f) for f in dist.files}
    for name in ("__init__.py", "__init__.pyi", "_quib_lomra.pyi", "py.typed", "_quib_lomra.abi3.so"):
        assert f"lomra/{name}" in files, name
    for stub in ("__init__.pyi", "_quib_lomra.pyi"):
        shipped = pathlib.Path(dist.locate_file(f"lomra/{stub}")).read_bytes()
        assert shipped == (SOURCE_PACKAGE / stub).read_bytes(), f"{stub} differs from the source tree's"
    assert any(f.endswith(".dist-info/LICENSE") for f in files)

    meta = dist.metadata
    version = (ROOT / "VERSION").read_text(encoding="ascii").strip()
    assert meta["Version"] == version == lomra.__version__ == lomra._quib_lomra.__version__
    assert meta["Requires-Python"] == ">=3.11"
    assert meta["License"] == "MIT"
    classifiers = meta.get_all("Classifier")
    for c in ("Typing :: Typed", "Programming Language :: Python :: 3.11",
              "License :: OSI Approved :: MIT License", "Operating System :: POSIX :: Linux"):
        assert c in classifiers, c
