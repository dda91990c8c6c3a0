"""The module as Python first meets it: its attributes, the classes' surface,
the one-time registration of the exception classes, and the mapping of
every kind of failure to its exception class, code and key."""

import inspect
import os
import subprocess
import sys
import textwrap

import pytest

from conftest import MODULE_PATH, ROOT, lomra, logon, run_python
import simctl

EXPECTED_ATTRIBUTES = ["Connection", "Throughput", "Server", "register_exceptions", "__version__"]


def test_module_attributes_in_order():
    m = lomra._quib_lomra
    names = [n for n in vars(m) if not (n.startswith("__") and n != "__version__")]
    assert names == EXPECTED_ATTRIBUTES
    assert m.__version__ == "2026.9.3" == lomra.__version__
    assert m.__name__ == "lomra._quib_lomra"


def test_class_documentation():
    C = lomra.Connection
    assert C.__text_signature__ == "(params, config)"
    assert C.__doc__ == ("A live RFC connection.\n\nThe connection owns a socket and a stateful ABAP "
                         "session, so it belongs to\nthe thread that opened it.")
    assert lomra.Throughput.__text_signature__ == "()"
    assert lomra.Server.__text_signature__ == "(server_params, client_params)"
    assert str(inspect.signature(C.call)) == "(self, /, name, params, options)"
    assert str(inspect.signature(C.set_throughput)) == "(self, /, throughput=None)"
    assert str(inspect.signature(C.function_description)) == "(self, /, name)"
    assert C.call.__doc__ == "Invoke a function module and return its output parameters."
    assert C.reopen.__doc__ == "Close and open again, discarding all session state."
    assert C.connection_attributes.__doc__ == "System and session identity."
    assert C.function_description.__doc__ == "The remote function's interface."


def test_connection_members():
    public = {n for n in dir(lomra.Connection) if not n.startswith("_")}
    assert public == {"alive", "handle", "close", "cancel", "set_throughput", "reopen",
                      "connection_attributes", "function_description", "initialize_unit",
                      "fill_and_submit_unit", "confirm_unit", "call"}


# Refused argument lists, each with the TypeError that names the entry point:
# (what is called, positional arguments, keyword arguments, message).
ARGUMENT_REFUSALS = [
    ("Connection", (), {}, "Connection() missing required argument 'params' (pos 1)"),
    ("Connection", ({}, {}, {}), {}, "Connection() takes at most 2 arguments (3 given)"),
    ("Throughput", (1,), {}, "Throughput() takes at most 0 arguments (1 given)"),
    ("Throughput", (), {"x": 1}, "Throughput() takes at most 0 keyword arguments (1 given)"),
    ("register_exceptions", (), {}, "register_exceptions() missing required argument 'classes' (pos 1)"),
    ("register_exceptions", ({}, {}), {}, "register_exceptions() takes at most 1 argument (2 given)"),
    ("register_exceptions", (), {"classes": {}, "x": 1},
     "register_exceptions() takes at most 1 keyword argument (2 given)"),
    ("call", (), {}, "call() missing required argument 'name' (pos 1)"),
    ("call", ("A", {}, {}, {}), {}, "call() takes at most 3 arguments (4 given)"),
    ("call", ("A", {}), {"bogus": 1}, "call() missing required argument 'options' (pos 3)"),
    ("call", ("A",), {"bogus": 1, "options": {}}, "call() missing required argument 'params' (pos 2)"),
    ("call", (), {"name": "A", "params": {}, "options": {}, "x": 1},
     "call() takes at most 3 keyword arguments (4 given)"),
    ("set_throughput", (), {"x": 1}, "'x' is an invalid keyword argument for set_throughput()"),
    ("set_throughput", (None,), {"throughput": None}, "set_throughput() takes at most 1 argument (2 given)"),
    ("function_description", (), {"nam": "A"}, "function_description() missing required argument 'name' (pos 1)"),
    ("fill_and_submit_unit", ("T",), {"tid": "T", "calls": []},
     "argument for fill_and_submit_unit() given by name ('tid') and position (1)"),
    ("fill_and_submit_unit", ("T",), {"calls": [], "x": 1},
     "'x' is an invalid keyword argument for fill_and_submit_unit()"),
    ("confirm_unit", (), {}, "confirm_unit() missing required argument 'tid' (pos 1)"),
    ("close", (1,), {}, "Connection.close() takes no arguments (1 given)"),
    ("cancel", (1,), {}, "Connection.cancel() takes no arguments (1 given)"),
    ("cancel", (1,), {"x": 1}, "Connection.cancel() takes no keyword arguments"),
    ("reopen", (1,), {}, "Connection.reopen() takes no arguments (1 given)"),
    ("connection_attributes", (), {"x": 1}, "Connection.connection_attributes() takes no keyword arguments"),
    ("initialize_unit", (1, 2), {}, "Connection.initialize_unit() takes no arguments (2 given)"),
    ("reset", (1,), {}, "Throughput.reset() takes no arguments (1 given)"),
]


@pytest.mark.parametrize("what,args,kwargs,message", ARGUMENT_REFUSALS,
                         ids=[f"{c[0]}-{i}" for i, c in enumerate(ARGUMENT_REFUSALS)])
def test_argument_refusals(mconn, what, args, kwargs, message):
    if hasattr(lomra._quib_lomra, what):
        target = getattr(lomra._quib_lomra, what)
    elif what == "reset":
        target = lomra.Throughput().reset
    else:
        target = getattr(mconn, what)
    with pytest.raises(TypeError) as info:
        target(*args, **kwargs)
    assert str(info.value) == message
    assert mconn.alive


# --- registration, each case in a fresh interpreter -----------------------------

# Loads the native module on its own, without the package that registers the
# exception classes.
BARE = textwrap.dedent(f"""
    import importlib.util
    spec = importlib.util.spec_from_file_location("_quib_lomra", {MODULE_PATH!r})
    m = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(m)
    BAD_PORT = {{"port": "x"}}

    def fails(f, *args):
        try:
            f(*args)
        except BaseException as e:
            return e
        raise AssertionError("no exception")
""")

REGISTRATION_CASES = {
    "never registered": """
        e = fails(m.Connection, BAD_PORT, {})
        assert type(e) is RuntimeError, e
        assert str(e) == "lomra exception classes were never registered; import lomra, not lomra._quib_lomra"
        # Refused Python types do not depend on the registration.
        assert type(fails(m.Connection, [], {})) is TypeError
    """,
    "not a dict": """
        assert type(fails(m.register_exceptions, [])) is TypeError
        assert type(fails(m.register_exceptions)) is TypeError
        # Nothing was stored by the refused calls.
        assert "never registered" in str(fails(m.Connection, BAD_PORT, {}))
    """,
    "empty dict wins": """
        assert m.register_exceptions({}) is None
        e = fails(m.Connection, BAD_PORT, {})
        assert type(e) is RuntimeError and str(e) == "no such class ExternalRuntimeError", e
        class ExternalRuntimeError(Exception):
            def __init__(self, message, code, key):
                super().__init__(message)
        assert m.register_exceptions({"ExternalRuntimeError": ExternalRuntimeError}) is None
        assert str(fails(m.Connection, BAD_PORT, {})) == "no such class ExternalRuntimeError"
    """,
    "first dict wins and is looked up when raising": """
        class First(Exception):
            def __init__(self, message, code, key):
                super().__init__(message)
                self.code, self.key = code, key
        class Later(First):
            pass
        classes = {"ExternalRuntimeError": First}
        m.register_exceptions(classes=classes)
        m.register_exceptions({"ExternalRuntimeError": Later})
        e = fails(m.Connection, BAD_PORT, {})
        assert type(e) is First and (e.code, e.key) == (17, "RFC_EXTERNAL_FAILURE"), e
        assert str(e) == 'port must be a number, got "x"'
        # The dict is held, not copied: a class put in later is used.
        classes["ExternalRuntimeError"] = Later
        assert type(fails(m.Connection, BAD_PORT, {})) is Later
    """,
    "the registration belongs to the module object": """
        class First(Exception):
            def __init__(self, message, code, key):
                super().__init__(message)
        class Second(First):
            pass
        m.register_exceptions({"ExternalRuntimeError": First})
        # Running the module's initialisation again changes nothing.
        Connection = m.Connection
        spec.loader.exec_module(m)
        assert m.Connection is Connection and type(fails(m.Connection, BAD_PORT, {})) is First
        # The file loaded once more is a module object of its own: its own
        # classes, and a registration of its own for the errors they raise.
        again = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(again)
        assert again.Connection is not m.Connection
        assert "never registered" in str(fails(again.Connection, BAD_PORT, {}))
        again.register_exceptions({"ExternalRuntimeError": Second})
        assert type(fails(again.Connection, BAD_PORT, {})) is Second
        assert type(fails(m.Connection, BAD_PORT, {})) is First
        assert [n for n in vars(again) if not n.startswith("__")] == [
            "Connection", "Throughput", "Server", "register_exceptions"]
    """,
    "constructor refuses the keywords": """
        class Strict(Exception):
            def __init__(self, message):
                super().__init__(message)
        m.register_exceptions({"ExternalRuntimeError": Strict})
        e = fails(m.Connection, BAD_PORT, {})
        assert type(e) is TypeError and "code" in str(e), e
    """,
    "class that builds no exception": """
        m.register_exceptions({"ExternalRuntimeError": lambda message, **kw: 42})
        e = fails(m.Connection, BAD_PORT, {})
        assert type(e) is TypeError and "BaseException" in str(e), e
    """,
}


@pytest.mark.parametrize("case", list(REGISTRATION_CASES))
def test_registration(case):
    proc = run_python(BARE + textwrap.dedent(REGISTRATION_CASES[case]) + "\nprint('ok')\n")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"


def test_importing_the_package_registers_its_classes():
    proc = run_python("import lomra\ntry:\n    lomra.Connection({'port': ''}, {})\n"
                      "except lomra.ExternalRuntimeError as e:\n    print(e.code, e.key)\n")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["17", "RFC_EXTERNAL_FAILURE"]


def test_each_interpreter_raises_its_own_classes():
    # A subinterpreter imports a module object of its own, which must raise
    # the classes that its own lomra registered, never the main one's.
    pytest.importorskip("_testcapi")
    sub = ("import lomra\n"
           "try:\n    lomra.Connection({'port': 'x'}, {})\n"
           "except lomra.ExternalRuntimeError as e:\n    assert e.key == 'RFC_EXTERNAL_FAILURE'\n")
    proc = run_python(f"import _testcapi, lomra\nprint(_testcapi.run_in_subinterp({sub!r}))\n")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["0"], proc.stderr


# --- every failure to its class, code and key ---------------------------------------


def error_of(f, *args):
    with pytest.raises(lomra.RFCError) as info:
        f(*args)
    return info.value


# What the simulator does in place of the reply (Z_SIM_FAULT's MODE) and what
# the call raises. After every one of them the connection must serve the
# next call: a session that an exchange left dead is reopened first.
REPLY_FAULTS = [
    ("close", lomra.CommunicationError, 13, "RFC_CLOSED", "connection closed by peer during function call"),
    ("midclose", lomra.CommunicationError, 13, "RFC_CLOSED", "connection closed by peer during function call"),
    ("garbage", lomra.CommunicationError, 1, "RFC_COMMUNICATION_FAILURE", "APPC record of 16 bytes"),
    ("short", lomra.CommunicationError, 1, "RFC_COMMUNICATION_FAILURE", "APPC record of 40 bytes"),
    ("version", lomra.CommunicationError, 1, "RFC_COMMUNICATION_FAILURE", "APPC protocol version"),
    ("noise", lomra.CommunicationError, 1, "RFC_COMMUNICATION_FAILURE", "NI payload"),
    ("hugelen", lomra.CommunicationError, 1, "RFC_COMMUNICATION_FAILURE", "NI payload of 4294967280 bytes"),
    ("empty", lomra.CommunicationError, 1, "RFC_COMMUNICATION_FAILURE", "empty reply during function call"),
    ("control", lomra.CommunicationError, 1, "RFC_COMMUNICATION_FAILURE", "non-data control record"),
    ("tagmismatch", lomra.CommunicationError, 1, "RFC_COMMUNICATION_FAILURE", "opened with tag 0x0201"),
    ("canceled", lomra.CommunicationError, 7, "RFC_CANCELED", "Z_SIM_FAULT was cancelled"),
    ("err", lomra.ExternalRuntimeError, 17, "RFC_EXTERNAL_FAILURE", "gateway: sim: gateway failure"),
]


@pytest.mark.parametrize("mode,cls,code,key,text", REPLY_FAULTS, ids=[f[0] for f in REPLY_FAULTS])
def test_reply_fault_maps_and_the_next_call_works(conn, mode, cls, code, key, text):
    e = error_of(conn.call, "Z_SIM_FAULT", {"MODE": mode}, {})
    assert type(e) is cls
    assert (e.code, e.key) == (code, key)
    assert text in str(e)
    assert conn.call("STFC_CONNECTION", {"REQUTEXT": mode}, {})["ECHOTEXT"] == mode
    assert conn.alive


def test_logon_refused():
    with simctl.Sim() as sim:
        e = error_of(lomra.Connection, logon(sim, passwd="wrong"), {})
    assert type(e) is lomra.LogonError
    assert (e.code, e.key) == (2, "RFC_LOGON_FAILURE")
    assert "logon refused by the server" in str(e)


def test_importing_the_source_tree_says_so():
    # Python started in the root of the source tree finds its folder lomra/
    # before any installed package.
    proc = subprocess.run([sys.executable, "-c", "import lomra"], capture_output=True, text=True,
                          cwd=str(ROOT), env={k: v for k, v in os.environ.items() if k != "PYTHONPATH"},
                          timeout=60)
    assert proc.returncode == 1
    last = proc.stderr.strip().splitlines()[-1]
    assert last.startswith(f"ImportError: this is lomra's source tree ({ROOT / 'lomra'}), which has no "
                           "compiled core"), proc.stderr
    assert "Run Python from another directory" in last and "pip install --no-build-isolation ." in last
    assert "circular import" not in proc.stderr


def test_unreachable_server():
    with simctl.Sim() as sim:
        params = logon(sim)
    e = error_of(lomra.Connection, params, {})  # the simulator is gone: nothing listens
    assert type(e) is lomra.CommunicationError
    assert (e.code, e.key) == (1, "RFC_COMMUNICATION_FAILURE")


ABAP_ERRORS = [
    # (message type, message class, class, code)
    ("E", "ZX", lomra.ABAPApplicationError, 5),
    ("A", "ZX", lomra.ABAPRuntimeError, 4),
    ("X", "ZX", lomra.ABAPRuntimeError, 4),
    ("A", "", lomra.ABAPRuntimeError, 3),
    ("a", "ZX", lomra.ABAPApplicationError, 5),
    ("", "ZX", lomra.ABAPApplicationError, 5),
]


@pytest.mark.parametrize("msg_type,msg_class,cls,code", ABAP_ERRORS)
def test_abap_error(conn, msg_type, msg_class, cls, code):
    e = error_of(conn.call, "Z_SIM_RAISE", {"KEY": "SOME_KEY", "TEXT": "it broke", "MSGID": msg_class,
                                            "MSGTY": msg_type, "MSGNO": "001", "MSGV1": "one",
                                            "MSGV4": "four"}, {})
    assert type(e) is cls
    assert (e.code, e.key) == (code, "SOME_KEY")
    expected = f"ID:{msg_class} Type:{msg_type} Number:001 it broke" if msg_class else "it broke"
    assert str(e) == expected
    assert (e.msg_class, e.msg_type, e.msg_number) == (msg_class, msg_type, "001")
    assert (e.msg_v1, e.msg_v2, e.msg_v3, e.msg_v4) == ("one", "", "", "four")


def test_abap_error_without_key_uses_the_text(conn):
    e = error_of(conn.call, "Z_SIM_RAISE", {"TEXT": "plain failure", "MSGTY": "E"}, {})
    assert type(e) is lomra.ABAPApplicationError
    assert (e.key, str(e), e.code) == ("plain failure", "plain failure", 5)


def test_binding_errors(conn):
    e = error_of(conn.call, "Z_SIM_ECHO", {"I_NOPE": 1}, {})
    assert (type(e), e.code, e.key) == (lomra.ExternalRuntimeError, 20, "RFC_INVALID_PARAMETER")
    e = error_of(conn.call, "Z_SIM_ECHO", {}, {"bogus": 1})
    assert (type(e), e.code, e.key) == (lomra.ExternalRuntimeError, 20, "RFC_INVALID_PARAMETER")
    # A value that its field cannot hold is refused by the field encoder.
    e = error_of(conn.call, "Z_SIM_ECHO", {"I_INT1": 256}, {})
    assert (type(e), e.code, e.key) == (lomra.ExternalRuntimeError, 17, "RFC_EXTERNAL_FAILURE")
    conn.close()
    e = error_of(conn.call, "Z_SIM_ECHO", {}, {})
    assert (type(e), e.code, e.key, str(e)) == (lomra.ExternalRuntimeError, 17, "RFC_EXTERNAL_FAILURE",
                                                "connection is closed")
