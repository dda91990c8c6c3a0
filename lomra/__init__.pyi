# The public surface of lomra: the native classes and the exceptions they raise.
from . import _quib_lomra as _quib_lomra
from ._quib_lomra import Connection as Connection
from ._quib_lomra import Server as Server
from ._quib_lomra import Throughput as Throughput

__all__ = [
    "Connection",
    "Server",
    "Throughput",
    "RFCError",
    "CommunicationError",
    "LogonError",
    "ABAPRuntimeError",
    "ABAPApplicationError",
    "ExternalRuntimeError",
    "__version__",
]

__version__: str

class RFCError(Exception):
    message: str
    code: int | None
    key: str
    msg_class: str
    msg_type: str
    msg_number: str
    msg_v1: str
    msg_v2: str
    msg_v3: str
    msg_v4: str
    def __init__(
        self,
        message: str = "",
        code: int | None = None,
        key: str = "",
        msg_class: str = "",
        msg_type: str = "",
        msg_number: str = "",
        msg_v1: str = "",
        msg_v2: str = "",
        msg_v3: str = "",
        msg_v4: str = "",
    ) -> None: ...

class CommunicationError(RFCError): ...
class LogonError(RFCError): ...
class ABAPRuntimeError(RFCError): ...
class ABAPApplicationError(RFCError): ...
class ExternalRuntimeError(RFCError): ...
