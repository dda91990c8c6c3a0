"""WebSocket framing by the websockets library, as an independent reference.

Usage:
  ws_frames.py emit SEED COUNT
      Frames written by websockets; one line per frame:
      opcode fin masked payload-hex frame-hex ("-" for empty hex).
  ws_frames.py parse FILE
      FILE holds lines "masked frame-hex"; each frame is parsed by websockets
      (which insists on the given masking) and printed as
      opcode fin payload-hex, or "error <text>" when it is refused.
"""
import random
import sys

from websockets import frames
from websockets.streams import StreamReader

DATA_OPCODES = [frames.OP_CONT, frames.OP_TEXT, frames.OP_BINARY]
CTRL_OPCODES = [frames.OP_PING, frames.OP_PONG]


def hexs(b):
    return b.hex() or "-"


def unhex(s):
    return b"" if s == "-" else bytes.fromhex(s)


def payload_length(rng):
    # Both sides of every length-form boundary, then random sizes.
    return rng.choice([0, 1, 124, 125, 126, 127, 65535, 65536, 65537,
                       rng.randrange(0, 300), rng.randrange(0, 70000)])


def emit(seed, count):
    rng = random.Random(seed)
    for _ in range(count):
        masked = rng.random() < 0.5
        if rng.random() < 0.25:
            opcode = rng.choice(CTRL_OPCODES)
            fin = True
            data = bytes(rng.getrandbits(8) for _ in range(rng.randrange(0, 126)))
        else:
            opcode = rng.choice(DATA_OPCODES)
            fin = rng.random() < 0.6
            data = rng.randbytes(payload_length(rng))
        frame = frames.Frame(opcode, data, fin=fin)
        wire = frame.serialize(mask=masked)
        print(int(opcode), int(fin), int(masked), hexs(data), hexs(wire))


def parse(path):
    with open(path) as f:
        for line in f:
            masked, wire = line.split()
            reader = StreamReader()
            reader.feed_data(unhex(wire))
            reader.feed_eof()
            gen = frames.Frame.parse(reader.read_exact, mask=masked == "1", max_size=None)
            try:
                next(gen)
                print("error incomplete")
            except StopIteration as done:
                frame = done.value
                print(int(frame.opcode), int(frame.fin), hexs(frame.data))
            except Exception as exc:  # refused by the library
                print("error", type(exc).__name__)


def main():
    if sys.argv[1] == "emit":
        emit(int(sys.argv[2]), int(sys.argv[3]))
    else:
        parse(sys.argv[2])


if __name__ == "__main__":
    main()
