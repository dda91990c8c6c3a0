"""Server: registration at the simulator's gateway for registered servers,
serve_one dispatching inbound calls to Python callbacks and answering with
exports, ABAP exceptions and ABAP messages; time-outs, signals, closing,
and the locking rules that let other threads run while serve_one waits.

The simulator sends each call through its control port (tests/sim/regctl.py)
and decodes what the server answers; the Server's metadata session logs on
to the simulator's ordinary gateway to describe the functions."""

import datetime
import itertools
import math
import struct
import textwrap
import threading
import time
from decimal import Decimal

import pytest

from conftest import CLIENT, PASSWORD, USER, logon, lomra, run_python
import simctl
from regctl import RegControl

ECHO = "Z_SIM_ECHO"
_programs = itertools.count(1)


@pytest.fixture(scope="module")
def regsim():
    with simctl.Sim("--reggateway", "--regallow", "LOMRA*") as s:
        yield s


@pytest.fixture
def ctl(regsim):
    with RegControl(regsim.regcontrol) as c:
        yield c


def server_params(sim, program):
    return {"program_id": program, "gwhost": "127.0.0.1", "gwserv": str(sim.reggateway)}


def client_params(sim, **overrides):
    # No port key: the gateway port follows from sysnr (3300 plus it).
    params = {"ashost": "127.0.0.1", "sysnr": str((sim.gateway - 3300) % 65536), "user": USER,
              "passwd": PASSWORD, "client": CLIENT}
    params.update(overrides)
    return params


@pytest.fixture
def program():
    return f"LOMRA_T{next(_programs)}"


@pytest.fixture
def server(regsim, program):
    s = lomra.Server(server_params(regsim, program), client_params(regsim))
    yield s
    s.close()


def serve(server, ctl, function, callbacks, params=None, timeout=10, **options):
    """Queues one call, serves it, returns (what serve_one returned, the
    simulator's decoded result)."""
    options.setdefault("wait", 10)
    call_id = ctl.call(server.program_id, function, params or {}, **options)
    served = server.serve_one(callbacks, timeout)
    return served, ctl.result(call_id)


class Recorder:
    def __init__(self, result=None, raises=None):
        self.calls = []
        self.result = result
        self.raises = raises

    def __call__(self, context, **params):
        self.calls.append((context, params))
        if self.raises is not None:
            raise self.raises
        return self.result


def message_of(reply):
    return (reply.get("msg_class"), reply.get("msg_type"), reply.get("msg_number"), reply.get("msg_v1"))


# --- construction -----------------------------------------------------------------------------

def test_server_registers_and_describes_itself(regsim, ctl, server, program):
    assert server.alive is True
    assert server.program_id == program
    assert ctl.wait_registered(program)["host"] == "localhost"
    assert lomra.Server.serve_one.__doc__ == (
        "Accept one inbound call and dispatch it.\n\nReturns the function name served, or `None` if "
        "nothing arrived before\n`timeout` expired.")
    assert lomra.Server.close.__doc__ == "Detach from the gateway. Idempotent."
    assert lomra.Server.__text_signature__ == "(server_params, client_params)"


@pytest.mark.parametrize("args, kwargs, needle", [
    (([], {}), {}, "server_params"),
    (({"program_id": "LOMRA_X"}, None), {}, "client_params"),
    (({"program_id": 5}, {}), {}, "server_params"),
    (({"program_id": "LOMRA_X"}, {1: "x"}), {}, "client_params"),
    ((), {"server_params": {}}, "client_params"),
])
def test_arguments_of_the_wrong_type(args, kwargs, needle):
    with pytest.raises(TypeError, match=needle):
        lomra.Server(*args, **kwargs)


@pytest.mark.parametrize("method, args, kwargs, message", [
    ("serve_one", (), {}, "serve_one() missing required argument 'callbacks' (pos 1)"),
    ("serve_one", ({}, 1, 2), {}, "serve_one() takes at most 2 arguments (3 given)"),
    ("serve_one", ({},), {"wait": 1}, "'wait' is an invalid keyword argument for serve_one()"),
    ("close", (1,), {}, "Server.close() takes no arguments (1 given)"),
    ("close", (), {"now": True}, "Server.close() takes no keyword arguments"),
])
def test_method_argument_refusals(server, method, args, kwargs, message):
    with pytest.raises(TypeError) as e:
        getattr(server, method)(*args, **kwargs)
    assert str(e.value) == message
    assert server.alive


def test_missing_program_id(regsim):
    with pytest.raises(lomra.ExternalRuntimeError) as e:
        lomra.Server({"gwserv": str(regsim.reggateway)}, client_params(regsim))
    assert str(e.value) == "server parameters need a program_id"
    assert (e.value.code, e.value.key) == (17, "RFC_EXTERNAL_FAILURE")


def test_refused_registration(regsim):
    with pytest.raises(lomra.ExternalRuntimeError) as e:
        lomra.Server(server_params(regsim, "ZNOT_LISTED"), client_params(regsim))
    assert str(e.value) == ("the gateway refused program ID ZNOT_LISTED: registration of tp ZNOT_LISTED "
                            "from host localhost not allowed (usually a missing reginfo entry)")
    assert (e.value.code, e.value.key) == (17, "RFC_EXTERNAL_FAILURE")
    closed = regsim.wait_for(server="reggateway", event="closed", program="ZNOT_LISTED")
    assert (closed[0]["registered"], closed[0]["detaches"]) == (False, 1)


def test_metadata_logon_failure_detaches_the_registration(regsim, program):
    with pytest.raises(lomra.LogonError) as e:
        lomra.Server(server_params(regsim, program), client_params(regsim, passwd="wrong"))
    assert e.value.code == 2
    closed = regsim.wait_for(server="reggateway", event="closed", program=program)
    assert closed[0]["detaches"] == 1 and closed[0]["registered"] is True


# --- dispatching --------------------------------------------------------------------------------

def test_callback_gets_context_and_parameters(ctl, server):
    cb = Recorder(result={"ECHOTEXT": "echo", "RESPTEXT": "resp"})
    served, reply = serve(server, ctl, "STFC_CONNECTION", {"STFC_CONNECTION": cb},
                          {"REQUTEXT": "hello  ", "NOT_IN_INTERFACE": "x"},
                          requested=["ECHOTEXT"], user="ALICE", client="100",
                          tables=[{"name": "T_ROWS", "rows": ["0102"]}])
    assert served == "STFC_CONNECTION"
    [(context, params)] = cb.calls
    assert list(context.items()) == [("function", "STFC_CONNECTION"), ("destination", "LOMRA_DEST"),
                                     ("user", "ALICE"), ("client", "100"), ("system_id", "QSI"),
                                     ("caller_host", "qsihost"), ("program", "SAPLSIM")]
    # Char loses its trailing blanks; unknown parameters and tables stay out.
    assert params == {"REQUTEXT": "hello"}
    assert reply["status"] == "reply"
    # Only what the caller requested goes back.
    assert reply["export_texts"] == {"ECHOTEXT": "echo"}
    assert reply["checks"] == []


def test_parameters_decode_by_the_description(ctl, server):
    cb = Recorder(result={"E_CHAR": "out", "E_INT4": -5, "E_FLOAT": 0.5, "E_RAW": b"\x01\x02",
                          "C_COUNTER": 8, "e_numc": 42})
    served, reply = serve(server, ctl, ECHO, {ECHO: cb}, {
        "I_CHAR": "abc   ",
        "I_NUMC": "0042",
        "I_DATS": "20240517",
        "I_TIMS": "235959",
        "I_INT4": 7,
        "I_INT1": {"type": "b", "value": 200},
        "I_INT8": {"type": "8", "value": -(2 ** 40)},
        "I_FLOAT": 2.5,
        "I_PACKED": {"type": "P", "value": -12345, "length": 8},
        "I_RAW": {"hex": "00ff"},
        "i_string": {"type": "g", "value": "gr\u00fc\u00df "},
        "I_PACKED0": {"hex": "abcdef"},  # not packed decimal: handed over raw
    })
    assert served == ECHO
    [(_, params)] = cb.calls
    assert params == {
        "I_CHAR": "abc", "I_NUMC": "0042", "I_DATS": "20240517", "I_TIMS": "235959", "I_INT4": 7,
        "I_INT1": 200, "I_INT8": -(2 ** 40), "I_FLOAT": 2.5, "I_PACKED": Decimal("-12345"),
        "I_RAW": b"\x00\xff", "i_string": "gr\u00fc\u00df ", "I_PACKED0": b"\xab\xcd\xef",
    }
    assert reply["status"] == "reply", reply
    exports = reply["exports"]
    # Exports go under the description's names, each encoded for its field.
    assert list(exports) == ["E_CHAR", "E_INT4", "E_FLOAT", "E_RAW", "C_COUNTER", "E_NUMC"]
    assert exports["E_CHAR"] == "out".ljust(10).encode("utf-16-le").hex()
    assert exports["E_INT4"] == "fbffffff"
    assert exports["E_FLOAT"] == "000000000000e03f"
    assert exports["E_RAW"] == "0102" + "00" * 14
    assert exports["C_COUNTER"] == "08000000"
    assert reply["export_texts"]["E_NUMC"] == "00000042"


@pytest.mark.parametrize("result", [None, 5, "text", ["E_CHAR"]])
def test_a_result_that_is_no_dict_answers_without_values(ctl, server, result):
    served, reply = serve(server, ctl, ECHO, {ECHO: Recorder(result=result)})
    assert served == ECHO
    assert reply["status"] == "reply"
    assert reply["exports"] == {}


def test_unknown_function_is_answered_with_fu_not_found(ctl, server):
    other = Recorder()
    served, reply = serve(server, ctl, "STFC_CONNECTION", {"stfc_connection": other})
    assert served == "STFC_CONNECTION"  # the name as received, matched exactly
    assert other.calls == []
    assert reply["status"] == "exception"
    assert reply["key"] == "FU_NOT_FOUND"


def test_function_the_metadata_session_cannot_describe(ctl, server):
    cb = Recorder()
    served, reply = serve(server, ctl, "Z_NOT_IN_THE_SYSTEM", {"Z_NOT_IN_THE_SYSTEM": cb})
    assert served == "Z_NOT_IN_THE_SYSTEM"
    assert cb.calls == []
    assert reply["status"] == "exception"
    assert message_of(reply)[:3] == ("RURAD", "E", "000")
    assert reply["msg_v1"].startswith("ABAP exception FU_NOT_FOUND"), reply


class Keyed(Exception):
    def __init__(self, key):
        super().__init__("keyed text")
        self.key = key


class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text")


@pytest.mark.parametrize("raised, key, text", [
    (lomra.ABAPApplicationError("boom", key="MY_KEY"), "MY_KEY", None),
    (Keyed("OTHER_KEY"), "OTHER_KEY", None),
    (lomra.ABAPApplicationError("no key here"), None, "no key here"),
    (Keyed(""), None, "keyed text"),
    (Keyed(5), None, "keyed text"),
    (ValueError("plain"), None, "plain"),
    (KeyboardInterrupt(), None, ""),
    (SystemExit("bye"), None, "bye"),
    (Unprintable(), None, ""),
])
def test_callback_exceptions_become_the_reply(ctl, server, raised, key, text):
    served, reply = serve(server, ctl, ECHO, {ECHO: Recorder(raises=raised)})
    assert served == ECHO
    assert reply["status"] == "exception"
    if key is not None:
        assert reply["key"] == key
        assert "msg_class" not in reply
    else:
        assert "key" not in reply
        assert message_of(reply) == ("RURAD", "E", "000", text)
        assert reply["error_message"] == ""


def test_callback_that_is_not_callable(ctl, server):
    served, reply = serve(server, ctl, ECHO, {ECHO: 42})
    assert served == ECHO
    assert reply["msg_v1"] == "'int' object is not callable"


class NoFloat:
    def __float__(self):
        raise RuntimeError("no float here")


def _encode_error(text):
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as e:
        return f"UnicodeEncodeError: {e}"
    raise AssertionError(f"{text!r} encodes")


# Whatever a callback returns, the caller gets an answer: here an ABAP
# message naming the first thing wrong with the result, after which
# serve_one raises the same text.
@pytest.mark.parametrize("result, raised, problem", [
    ({"E_CHAR": 5}, lomra.ExternalRuntimeError,
     '"E_CHAR": TypeError: a string required for parameter "E_CHAR", got int 5'),
    ({"I_CHAR": "x"}, lomra.ExternalRuntimeError, '"I_CHAR" is an import parameter; a server cannot return it'),
    ({"E_CHAR": "fine", "NOPE": 1}, lomra.ExternalRuntimeError, 'Z_SIM_ECHO has no parameter named "NOPE"'),
    ({"E_FLOAT": NoFloat()}, lomra.ExternalRuntimeError, '"E_FLOAT": RuntimeError: no float here'),
    ({"E_CHAR": "fine", 5: "x"}, TypeError, "a dict key of type int; the keys name parameters and must be str"),
    ({"E_CHAR\ud800": "x"}, lomra.ExternalRuntimeError, _encode_error("E_CHAR\ud800")),
])
def test_refused_results_are_answered(ctl, server, result, raised, problem):
    call_id = ctl.call(server.program_id, ECHO, {}, wait=10)
    with pytest.raises(raised) as e:
        server.serve_one({ECHO: Recorder(result=result)}, 10)
    assert str(e.value) == f"the handler for {ECHO} returned {problem}"
    if raised is lomra.ExternalRuntimeError:
        assert (e.value.code, e.value.key) == (17, "RFC_EXTERNAL_FAILURE")
    reply = ctl.result(call_id)
    assert reply["status"] == "exception"
    assert message_of(reply) == ("RURAD", "E", "000", problem)
    assert server.alive


# --- exports go as given or not at all ---------------------------------------------------------

def u16(text):
    return text.encode("utf-16-le").hex()


def packed8(digits, sign="c"):
    """An 8-byte packed number: 15 digits and the sign nibble."""
    return digits.rjust(15, "0") + sign


def le(value, size):
    return value.to_bytes(size, "little", signed=True).hex()


# Each value as its field holds it: integers at their field's width, text
# kinds filled to their length, packed numbers with their data element's
# decimals, strings as UTF-8, bytes zero-filled.
@pytest.mark.parametrize("name, value, travelled", [
    ("E_INT1", 255, "ff"),
    ("E_INT2", -2, "feff"),
    ("E_INT4", -(2 ** 31), "00000080"),
    ("E_INT8", 2 ** 40, le(2 ** 40, 8)),
    ("E_INT8", -(2 ** 63), le(-(2 ** 63), 8)),
    ("E_CHAR", "Grüße", u16("Grüße     ")),
    ("E_NUMC", 42, u16("00000042")),
    ("E_NUMC", "", u16("00000000")),
    ("E_DATS", datetime.date(2024, 5, 17), u16("20240517")),
    ("E_DATS", "  ", u16("00000000")),
    ("E_TIMS", datetime.time(12, 30, 5), u16("123005")),
    ("E_PACKED", Decimal("-12.5"), packed8("1250", "d")),
    ("E_PACKED", 7, packed8("700")),
    ("E_FLOAT", 2, "0000000000000040"),
    ("E_STRING", "grüß", "grüß".encode().hex()),
    ("E_RAW", b"\x01", "01" + "00" * 15),
], ids=lambda v: v if isinstance(v, str) and v.startswith("E_") else None)
def test_exports_travel_as_their_fields_hold_them(ctl, server, name, value, travelled):
    served, reply = serve(server, ctl, ECHO, {ECHO: Recorder(result={name: value})})
    assert served == ECHO
    assert reply["status"] == "reply", reply
    assert reply["exports"] == {name: travelled}
    assert reply["checks"] == []


def test_structure_export_given_as_a_dict(ctl, server):
    # ZSIM_ROW: ID INT4 at 0, NAME CHAR 20 at 4, AMOUNT packed 8 with 2
    # decimals at 44, DAY DATS at 52, SCORE FLOAT at 72 (after 4 bytes of
    # alignment); 80 bytes. Fields left out keep their initial values.
    row = {"id": 7, "NAME": "Grüße", "AMOUNT": Decimal("12.34")}
    served, reply = serve(server, ctl, "Z_SIM_STRUCT", {"Z_SIM_STRUCT": Recorder(result={"E_ROW": row})})
    assert reply["status"] == "reply", reply
    image = bytes.fromhex(reply["exports"]["E_ROW"])
    assert image == (struct.pack("<i", 7) + "Grüße".ljust(20).encode("utf-16-le")
                     + bytes.fromhex(packed8("1234")) + "00000000".encode("utf-16-le") + bytes(4)
                     + struct.pack("<d", 0.0))


@pytest.fixture(scope="module")
def conn(regsim):
    c = lomra.Connection(logon(regsim), {})
    yield c
    c.close()


# A returned value its field refuses is refused as a Connection refuses the
# same value for the matching import: the caller gets an ABAP message
# holding that refusal, and serve_one raises it.
REFUSED_EXPORTS = [
    (ECHO, "E_CHAR", "y" * 11, lomra.ExternalRuntimeError,
     'E_CHAR "yyyyyyyyyyy": 11 characters do not fit an ABAP Char of length 10'),
    (ECHO, "E_CHAR", "z" * 40, lomra.ExternalRuntimeError,
     'E_CHAR "zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz"... (40 characters): 40 characters do not fit an ABAP '
     "Char of length 10"),
    (ECHO, "E_NUMC", "12a", lomra.ExternalRuntimeError,
     'E_NUMC "12a": an ABAP Numc takes only digits: a text of digits or an integer of 0 or more'),
    (ECHO, "E_NUMC", -5, lomra.ExternalRuntimeError,
     'E_NUMC "-5": an ABAP Numc takes only digits: a text of digits or an integer of 0 or more'),
    (ECHO, "E_NUMC", "123456789", lomra.ExternalRuntimeError,
     'E_NUMC "123456789": 9 characters do not fit an ABAP Numc of length 8'),
    (ECHO, "E_DATS", "2024-05-17", lomra.ExternalRuntimeError,
     'E_DATS "2024-05-17": an ABAP Date takes 8 digits YYYYMMDD, a date, or an empty or all-blank text '
     "for the initial date 00000000"),
    (ECHO, "E_TIMS", "12:30:05", lomra.ExternalRuntimeError,
     'E_TIMS "12:30:05": an ABAP Time takes 6 digits HHMMSS, a time, or an empty or all-blank text for '
     "the initial time 000000"),
    (ECHO, "E_INT1", 256, lomra.ExternalRuntimeError, "E_INT1 256: 256 does not fit in an ABAP Int1"),
    (ECHO, "E_INT1", -1, lomra.ExternalRuntimeError, "E_INT1 -1: -1 does not fit in an ABAP Int1"),
    (ECHO, "E_INT2", 32768, lomra.ExternalRuntimeError, "E_INT2 32768: 32768 does not fit in an ABAP Int2"),
    (ECHO, "E_INT4", 2 ** 31, lomra.ExternalRuntimeError,
     "E_INT4 2147483648: 2147483648 does not fit in an ABAP Int4"),
    (ECHO, "E_PACKED", "1.235", lomra.ExternalRuntimeError,
     'E_PACKED "1.235": more decimal places than the field declares is outside what the format can hold'),
    (ECHO, "E_RAW", bytes(17), lomra.ExternalRuntimeError,
     "E_RAW 0x00000000000000000000000000000000... (17 bytes): 17 bytes do not fit an ABAP Byte of width 16"),
    ("Z_SIM_STRUCT", "E_ROW", {"ID": 1, "NAME": "n" * 21}, lomra.ExternalRuntimeError,
     'E_ROW-NAME "nnnnnnnnnnnnnnnnnnnnn": 21 characters do not fit an ABAP Char of length 20'),
    ("Z_SIM_STRUCT", "E_ROW", {"DAY": "17.05.2024"}, lomra.ExternalRuntimeError,
     'E_ROW-DAY "17.05.2024": an ABAP Date takes 8 digits YYYYMMDD, a date, or an empty or all-blank text '
     "for the initial date 00000000"),
    ("Z_SIM_STRUCT", "E_ROW", {"ID": "two"}, TypeError,
     'an integer required for parameter "E_ROW-ID", got str "two"'),
    ("Z_SIM_STRUCT", "E_ROW", {"NOPE": 1}, lomra.ExternalRuntimeError,
     'E_ROW: ZSIM_ROW has no field named "NOPE"'),
]


@pytest.mark.parametrize("function, name, value, exc, message", REFUSED_EXPORTS,
                         ids=[f"{n}-{v!r:.16}" for _, n, v, _, _ in REFUSED_EXPORTS])
def test_refused_exports_say_what_a_connection_says(ctl, server, conn, function, name, value, exc, message):
    call_id = ctl.call(server.program_id, function, {}, wait=10)
    with pytest.raises(lomra.ExternalRuntimeError) as e:
        server.serve_one({function: Recorder(result={name: value})}, 10)
    problem = f'"{name}": {exc.__name__}: {message}'
    assert str(e.value) == f"the handler for {function} returned {problem}"
    assert (e.value.code, e.value.key) == (17, "RFC_EXTERNAL_FAILURE")
    reply = ctl.result(call_id)
    assert reply["status"] == "exception"
    assert message_of(reply) == ("RURAD", "E", "000", problem)
    assert server.alive
    # The same value given to a Connection for the matching import.
    with pytest.raises(exc) as refused:
        conn.call(function, {name.replace("E_", "I_"): value}, {})
    assert str(refused.value) == message.replace("E_", "I_")


class CollidingKey:
    """A callbacks key that collides with the function name and cannot be
    compared: the lookup of the callback raises."""

    def __hash__(self):
        return hash(ECHO)

    def __eq__(self, other):
        raise ValueError("not comparable")


def test_failure_before_the_callback_is_answered(ctl, server):
    call_id = ctl.call(server.program_id, ECHO, {}, wait=10)
    with pytest.raises(ValueError, match="not comparable"):
        server.serve_one({CollidingKey(): Recorder()}, 10)
    reply = ctl.result(call_id)
    assert reply["status"] == "exception"
    assert message_of(reply) == ("RURAD", "E", "000", "ValueError: not comparable")
    assert server.alive


def test_callback_using_its_own_server(regsim, ctl, server, program):
    # The serve_one that runs the callback holds the server: a nested
    # serve_one raises rather than waiting for itself; alive answers, and
    # close() takes effect once the answer has gone out.
    seen = []

    def cb(context, **params):
        try:
            server.serve_one({}, 0)
        except lomra.ExternalRuntimeError as e:
            seen.append(str(e))
        seen.append(server.alive)
        seen.append(server.close())
        seen.append(server.alive)
        return {"ECHOTEXT": "still served"}

    served, reply = serve(server, ctl, "STFC_CONNECTION", {"STFC_CONNECTION": cb})
    assert served == "STFC_CONNECTION"
    assert seen == ["serve_one cannot run inside a serve_one of the same Server (its callback, or a "
                    "signal handler that runs while it waits)", True, None, False]
    assert reply["export_texts"] == {"ECHOTEXT": "still served"}
    assert server.alive is False
    with pytest.raises(lomra.ExternalRuntimeError, match="server is closed"):
        server.serve_one({}, 0)
    closed = regsim.wait_for(server="reggateway", event="closed", program=program)
    assert closed[0]["detaches"] == 1


def test_several_calls_on_one_registration(ctl, server):
    for text in ("one", "two", "three"):
        served, reply = serve(server, ctl, "STFC_CONNECTION",
                              {"STFC_CONNECTION": lambda ctx, REQUTEXT: {"ECHOTEXT": REQUTEXT.upper()}},
                              {"REQUTEXT": text})
        assert reply["export_texts"]["ECHOTEXT"] == text.upper()


# --- waiting ----------------------------------------------------------------------------------

@pytest.mark.parametrize("timeout", [0, -3, 0.5])
def test_nothing_arrives_before_the_timeout(server, timeout):
    assert server.serve_one({}, timeout) is None
    assert server.alive


@pytest.mark.parametrize("timeout, text", [(math.nan, "NaN"), (math.inf, "inf"), (-math.inf, "-inf")])
def test_timeout_that_is_not_finite(server, timeout, text):
    with pytest.raises(lomra.ExternalRuntimeError) as e:
        server.serve_one({}, timeout)
    assert str(e.value) == f"timeout must be a finite number of seconds, got {text}"
    assert e.value.code == 17


@pytest.mark.parametrize("timeout", [None, "1", [1]])
def test_timeout_that_is_no_number(server, timeout):
    with pytest.raises(TypeError, match="timeout"):
        server.serve_one({}, timeout)


def test_callbacks_must_be_a_dict(server):
    with pytest.raises(TypeError, match="callbacks"):
        server.serve_one([("F", print)], 1)


def test_other_threads_run_while_serve_one_waits(regsim, server):
    # The call is queued by Python code on another thread after serve_one
    # has started waiting; it can only arrive in time if the wait lets that
    # thread run.
    errors = []

    def queue_later():
        try:
            time.sleep(0.3)
            with RegControl(regsim.regcontrol) as c:
                c.call(server.program_id, "STFC_CONNECTION", {"REQUTEXT": "from a thread"}, wait=10)
        except Exception as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    t = threading.Thread(target=queue_later, daemon=True)
    t.start()
    seen = []
    served = server.serve_one({"STFC_CONNECTION": lambda ctx, **p: seen.append(p)}, 4)
    t.join(30)
    assert errors == []
    assert served == "STFC_CONNECTION"
    assert seen == [{"REQUTEXT": "from a thread"}]


# --- closing ----------------------------------------------------------------------------------

def test_close_is_idempotent_and_detaches(regsim, server, program):
    assert server.close() is None
    assert server.alive is False
    assert server.close() is None
    assert server.program_id == program
    with pytest.raises(lomra.ExternalRuntimeError) as e:
        server.serve_one({}, 0)
    assert str(e.value) == "server is closed"
    closed = regsim.wait_for(server="reggateway", event="closed", program=program)
    assert closed[0]["detaches"] == 1


def test_freeing_the_server_detaches(regsim, program):
    s = lomra.Server(server_params(regsim, program), client_params(regsim))
    del s
    closed = regsim.wait_for(server="reggateway", event="closed", program=program)
    assert closed[0]["detaches"] == 1


# --- signals and threads, each in a fresh interpreter ----------------------------------------

PRELUDE = textwrap.dedent("""
    import os, signal, sys, threading, time
    import lomra, simctl
    sim = simctl.Sim("--reggateway")
    sp = {"program_id": "LOMRA_SIG", "gwhost": "127.0.0.1", "gwserv": str(sim.reggateway)}
    cp = {"ashost": "127.0.0.1", "sysnr": str((sim.gateway - 3300) % 65536), "user": "TESTER",
          "passwd": "secret", "client": "001"}
    server = lomra.Server(sp, cp)
""")


def test_keyboard_interrupt_during_the_wait_surfaces():
    code = PRELUDE + textwrap.dedent("""
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
        try:
            server.serve_one({}, 60)
        except KeyboardInterrupt:
            print("interrupted", server.alive)
        else:
            print("not interrupted")
        server.close()
        sim.close()
    """)
    done = run_python(code, timeout=90)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "interrupted True"


def test_exception_of_a_signal_handler_surfaces():
    code = PRELUDE + textwrap.dedent("""
        class Alarm(Exception):
            pass
        def on_alarm(signum, frame):
            raise Alarm("rang")
        signal.signal(signal.SIGALRM, on_alarm)
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        try:
            server.serve_one({}, 60)
        except Alarm as e:
            print("alarm", e)
        server.close()
        sim.close()
    """)
    done = run_python(code, timeout=90)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "alarm rang"


def test_other_threads_waiting_for_the_server_do_not_deadlock():
    # While one thread waits in serve_one, others ask for alive (a flag: no
    # wait) and close(), which ends the wait and then waits for the server
    # without holding the interpreter lock, so the serving thread gets it
    # back to finish and everybody does.
    code = PRELUDE + textwrap.dedent("""
        out = {}
        def wait():
            out["served"] = server.serve_one({}, 0)
        t = threading.Thread(target=wait)
        t.start()
        time.sleep(0.3)
        out["alive"] = server.alive
        closer = threading.Thread(target=server.close)
        closer.start()
        t.join()
        closer.join()
        print(out["served"], out["alive"], server.alive)
        sim.close()
    """)
    done = run_python(code, timeout=90)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "None True False"
