# The native core of lomra as Python sees it. The names that start with an
# underscore exist here only, to describe the dicts the methods return.
from collections.abc import Callable
from typing import Any, SupportsFloat, TypedDict, final

__version__: str

class _ConnectionAttributes(TypedDict):
    host: str
    sysId: str
    sysNumber: str
    kernelRel: str
    partnerCodepage: str
    systemName: str
    client: str
    user: str
    language: str
    progName: str
    sessionId: str

class _ParameterDescription(TypedDict):
    name: str
    parameter_type: str
    direction: str
    nuc_length: int
    type_description: str

class _FunctionDescription(TypedDict):
    name: str
    parameters: list[_ParameterDescription]

class _Unit(TypedDict):
    id: str
    background: bool

class _Stats(TypedDict):
    numberOfCalls: int
    sentBytes: int
    receivedBytes: int
    applicationTime: int
    totalTime: int
    serializationTime: int
    deserializationTime: int

class _StatsNs(_Stats):
    networkWriteTime: int
    replyWaitTime: int

class _CallContext(TypedDict):
    function: str
    destination: str
    user: str
    client: str
    system_id: str
    caller_host: str
    program: str

# A queued call of a unit: (name, params), or {"name": ..., "params": ...}.
_QueuedCall = tuple[str, dict[str, Any]] | dict[str, Any]

@final
class Connection:
    """A live RFC connection.

    The connection owns a socket and a stateful ABAP session, so it belongs to
    the thread that opened it.
    """

    def __init__(self, params: dict[str, str], config: dict[str, Any]) -> None:
        """Opens and logs on; every parameter is checked before anything is sent.

        Keys of ``params`` (str to str, case-sensitive; other keys are ignored):

        - ``ashost`` ("localhost"), ``sysnr`` ("00": the gateway port is 3300 plus it,
          4800 plus it with SNC), ``port`` (a decimal port instead of the one of sysnr),
          ``client`` ("001"), ``user``, ``passwd``, ``lang`` ("EN");
        - ``basxml``: "", "0", "NO" or "FALSE" for classic containers only, anything
          else for basXML wherever the function accepts it (the default);
        - message server: ``mshost``, ``msserv`` (its decimal port, "3600"), ``group``
          ("PUBLIC"), ``mshost_override``;
        - ``saprouter``: a route string such as "/H/router/S/3299";
        - WebSocket RFC: ``wshost`` (ashost), ``wsport`` (443), ``ws_path``,
          ``tls_client_cert`` and ``tls_client_key`` (paths of DER files);
        - SNC: ``snc_mode`` ("0" switches it off), ``snc_lib`` ($SNC_LIB),
          ``snc_partnername``, ``snc_myname``, ``snc_qop`` ("3").

        Keys of ``config`` (other keys are ignored): the defaults of every call's
        options, ``rstrip`` (True), ``dtime`` (False), ``return_import_params``
        (False) and ``timeout`` (None; seconds, which also bound this open: past
        them it raises CommunicationError RFC_CANCELED naming the step that waited).
        """
    @property
    def alive(self) -> bool: ...
    @property
    def handle(self) -> int: ...
    def call(self, /, name: str, params: dict[str, Any], options: dict[str, Any]) -> dict[str, Any]:
        """Invoke a function module and return its output parameters.

        ``params`` maps parameter names (ASCII case ignored) to values: a structure
        as a dict of its fields, a table as a list of such dicts, fields left out at
        ABAP's initial value. A value its field cannot hold is refused before
        anything is sent, naming the parameter, row and field ("T_IN[3]-NAME").

        Keys of ``options`` (any other key raises ExternalRuntimeError
        RFC_INVALID_PARAMETER), each over the connection's ``config``: ``rstrip``
        (cut trailing blanks of Char and Numc results), ``dtime`` (dates and times
        as datetime.date and datetime.time), ``return_import_params``, ``timeout``
        (seconds for the whole call; None or 0: none).
        """
    def function_description(self, /, name: str) -> _FunctionDescription: ...
    def connection_attributes(self, /) -> _ConnectionAttributes: ...
    def set_throughput(self, /, throughput: Throughput | None = None) -> None: ...
    def cancel(self, /) -> None: ...
    def reopen(self, /) -> None: ...
    def close(self, /) -> None: ...
    def initialize_unit(self, /) -> _Unit: ...
    def fill_and_submit_unit(self, /, tid: str, calls: list[_QueuedCall], queue: str | None = None) -> int: ...
    def confirm_unit(self, /, tid: str) -> None: ...

@final
class Throughput:
    def __init__(self) -> None: ...
    @property
    def stats(self) -> _Stats: ...
    @property
    def stats_ns(self) -> _StatsNs: ...
    def reset(self, /) -> None: ...

@final
class Server:
    def __init__(self, server_params: dict[str, str], client_params: dict[str, str]) -> None:
        """Registers a program ID at a gateway for the calls sent to it.

        Keys of ``server_params``: ``program_id`` (required), ``gwhost``
        ("localhost"), ``gwserv`` ("3300", or "sapgwNN" for 3300 plus NN).
        Keys of ``client_params``, for the session that reads the functions'
        interfaces: ``ashost``, ``sysnr``, ``client``, ``user``, ``passwd``, ``lang``.
        """
    @property
    def alive(self) -> bool: ...
    @property
    def program_id(self) -> str: ...
    def serve_one(
        self, /, callbacks: dict[str, Callable[..., Any]], timeout: SupportsFloat = 2.0
    ) -> str | None:
        """Accept one inbound call and dispatch it.

        ``callbacks`` maps function names to callables called as
        ``callback(context, **params)`` that return the dict of exports. Returns the
        function name served, or None when nothing arrived before ``timeout``
        seconds; the wait runs in polls of 2 seconds, so it is rounded up to whole
        polls.
        """
    def close(self, /) -> None: ...

def register_exceptions(classes: dict[str, type[BaseException]]) -> None: ...
