"""Settings of one simulator run: defaults, a JSON scenario file, and the
command line on top."""

import copy
import json

from .faults import fault_from_json, parse_fault
from .reply import COMPRESS_ABOVE, PIECE

DEFAULTS = {
    # Accounts that may log on.  The first is the default account.
    "accounts": [{"user": "TESTER", "password": "secret", "client": "001"}],
    # What the logon reply reports.
    "system": {
        "system_id": "QSI",
        "system_name": "QSISIM",
        "system_number": "00",
        "system_host": "qsihost",
        "kernel_release": "753",
        "code_page": "4103",
    },
    # Conversation ids are this number plus the connection number, 8 digits.
    "conversation_base": 70000000,
    # Check every received header and container against the client's
    # templates; a deviation fails the step (an "*ERR*" block, a refused
    # logon or the SIM_BAD_REQUEST exception) instead of only being logged.
    "strict": True,
    # Fill the bytes of sent APPC headers that readers must ignore with a pattern.
    "header_junk": True,
    # The logon reply starts with the EBCDIC header.
    "logon_reply_header": True,
    # Replies larger than this go out as several data records.
    "reply_piece": 28000,
    # A table whose rows hold more than this many bytes goes out compressed
    # (unless its function chose the form), in TableCompressed and
    # TableCompressedChunk records of table_piece bytes; null: row records
    # whatever the size.
    "table_compress_above": COMPRESS_ABOVE,
    "table_piece": PIECE,
    # Texts of ABAP error records and of a refused logon: "utf-16le" or "utf-8".
    "error_text_encoding": "utf-16le",
    # The password every SAProuter hop must carry (None: no password).
    "routepass": None,
    # Whether the SAProuter insists that the last hop is this simulator's gateway port.
    "route_check_target": True,
    "faults": [],
    # Per-function settings, keyed by function name:
    #   delay (seconds before the reply), split ("N" or "a,b,c"), fault ("action[:arg]"),
    #   basxml (what RFC_GET_FUNCTION_INTERFACE reports), params_width (PARAMS row width),
    #   params_coding ("Z", "F" or "L": send PARAMS compressed), params_piece, remove (hide it),
    #   basxml_piece (bytes per BasxmlPayload record of a basXML reply), basxml_reply (a hostile
    #   payload instead of the reply document: garbage, bomb, deep, badmagic, truncated,
    #   elements:N).
    "functions": {},
    # Bytes per BasxmlPayload record of a basXML reply (0: the whole payload in one record).
    "basxml_piece": 0,
    # Hex of one logged frame is cut after this many bytes.
    "log_hex_limit": 1 << 20,
    # Largest NI frame accepted from a peer.
    "frame_limit": 64 << 20,
}


def _merge(base, extra):
    for key, value in extra.items():
        if isinstance(value, dict) and isinstance(base.get(key), dict) and key != "functions":
            _merge(base[key], value)
        else:
            base[key] = value


def load(path=None, args=None):
    cfg = copy.deepcopy(DEFAULTS)
    if path:
        with open(path, encoding="utf-8") as f:
            extra = json.load(f)
        if "account" in extra:
            extra.setdefault("accounts", [])
            extra["accounts"] = [extra.pop("account")] + list(extra["accounts"])
        _merge(cfg, extra)
    cfg["functions"] = {k.upper(): v for k, v in cfg.get("functions", {}).items()}
    faults = [fault_from_json(f) for f in cfg.get("faults", [])]
    if args is not None:
        account = dict(cfg["accounts"][0])
        for key in ("user", "password", "client"):
            value = getattr(args, key, None)
            if value is not None:
                account[key] = value
        cfg["accounts"][0] = account
        if getattr(args, "sysid", None):
            cfg["system"]["system_id"] = args.sysid
        if getattr(args, "routepass", None) is not None:
            cfg["routepass"] = args.routepass
        if getattr(args, "lenient", False):
            cfg["strict"] = False
        faults += [parse_fault(f) for f in (args.fault or [])]
    for name, over in cfg["functions"].items():
        for key in ("delay", "split"):
            if key in over:
                faults.append(fault_from_json({"action": key, "step": "call", "function": name, "arg": over[key]}))
        if "fault" in over:
            action, _, arg = str(over["fault"]).partition(":")
            faults.append(fault_from_json({"action": action, "step": "call", "function": name, "arg": arg}))
    cfg["faults"] = faults
    return cfg
