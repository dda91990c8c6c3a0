"""lomra: call ABAP function modules over RFC from Python.

The native core ``lomra._quib_lomra`` speaks the RFC protocol itself; this
package defines the exception classes it raises and registers them with it.
"""

import os as _os

try:
    from . import _quib_lomra
except ImportError:
    _here = _os.path.dirname(_os.path.abspath(__file__))
    # The lomra/ folder of the source tree holds the Python half only; its
    # compiled core is built into the installed package.
    if _os.path.isfile(_os.path.join(_here, _os.pardir, "ext", "module.cpp")):
        raise ImportError(
            f"this is lomra's source tree ({_here}), which has no compiled core: "
            "`import lomra` found the folder lomra/ of the current directory instead of the "
            "installed package. Run Python from another directory (for the example: "
            "build/venv/bin/python examples/call_sim.py), or install lomra first with "
            "`pip install --no-build-isolation .` (or `bash scripts/example.sh`)",
            name=__name__,
        ) from None
    raise

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


class RFCError(Exception):
    """Base class of every error that lomra raises for a failed RFC operation.

    ``code`` and ``key`` are the RFC error code and key; ABAP errors also
    carry the ABAP message class, type, number and the four message
    variables.
    """

    def __init__(
        self,
        message="",
        code=None,
        key="",
        msg_class="",
        msg_type="",
        msg_number="",
        msg_v1="",
        msg_v2="",
        msg_v3="",
        msg_v4="",
    ):
        super().__init__(message)
        self.message = message
        self.code = code
        self.key = key
        self.msg_class = msg_class
        self.msg_type = msg_type
        self.msg_number = msg_number
        self.msg_v1 = msg_v1
        self.msg_v2 = msg_v2
        self.msg_v3 = msg_v3
        self.msg_v4 = msg_v4

    def __str__(self):
        return self.message


class CommunicationError(RFCError):
    """The connection to the ABAP system failed, closed or was cancelled."""


class LogonError(RFCError):
    """The ABAP system refused the logon."""


class ABAPRuntimeError(RFCError):
    """The ABAP side ended with a runtime error (message type A or X)."""


class ABAPApplicationError(RFCError):
    """The function module raised an ABAP exception or message."""


class ExternalRuntimeError(RFCError):
    """A parameter, option or value was refused on this side."""


_quib_lomra.register_exceptions(
    {
        cls.__name__: cls
        for cls in (
            CommunicationError,
            LogonError,
            ABAPRuntimeError,
            ABAPApplicationError,
            ExternalRuntimeError,
        )
    }
)

Connection = _quib_lomra.Connection
Server = _quib_lomra.Server
Throughput = _quib_lomra.Throughput
__version__ = _quib_lomra.__version__
