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
    def __init__(self, params: dict[str, str], config: dict[str, Any]) -> None: ...
    @property
    def alive(self) -> bool: ...
    @property
    def handle(self) -> int: ...
    def call(self, /, name: str, params: dict[str, Any], options: dict[str, Any]) -> dict[str, Any]: ...
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
    def __init__(self, server_params: dict[str, str], client_params: dict[str, str]) -> None: ...
    @property
    def alive(self) -> bool: ...
    @property
    def program_id(self) -> str: ...
    def serve_one(
        self, /, callbacks: dict[str, Callable[..., Any]], timeout: SupportsFloat = 2.0
    ) -> str | None: ...
    def close(self, /) -> None: ...

def register_exceptions(classes: dict[str, type[BaseException]]) -> None: ...
