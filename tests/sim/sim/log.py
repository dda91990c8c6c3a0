"""JSON-lines log of everything the simulator receives and sends.

One flat JSON object per line (string, integer and boolean values only), so
that a C++ test can read it with a trivial parser.  Every line is flushed as
soon as it is written; several connection threads share one log.
"""

import json
import threading
import time


class SimLog:
    def __init__(self, path=None, hex_limit=1 << 20):
        self._file = open(path, "w", encoding="utf-8") if path else None
        self._lock = threading.Lock()
        self._seq = 0
        self._start = time.monotonic()
        self.hex_limit = hex_limit

    def write(self, **fields):
        """Writes one line.  Bytes values are written as lower-case hex."""
        with self._lock:
            self._seq += 1
            line = {"seq": self._seq, "t": round(time.monotonic() - self._start, 6)}
            for key, value in fields.items():
                if value is None:
                    continue
                if isinstance(value, (bytes, bytearray, memoryview)):
                    value = bytes(value)
                    if len(value) > self.hex_limit:
                        line[key + "_truncated"] = True
                        value = value[: self.hex_limit]
                    value = value.hex()
                elif isinstance(value, (list, tuple)):
                    value = ",".join(str(v) for v in value)
                line[key] = value
            if self._file is None:
                return
            self._file.write(json.dumps(line, separators=(", ", ": ")) + "\n")
            self._file.flush()

    def close(self):
        with self._lock:
            if self._file is not None:
                self._file.close()
                self._file = None
