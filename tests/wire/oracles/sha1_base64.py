"""Reference digests and Base64 texts for random inputs.

Usage: sha1_base64.py SEED COUNT
Prints one line per input: input hex, SHA-1 hex digest, Base64 text
("-" stands for the empty string so that every line has three fields).
"""
import base64
import hashlib
import random
import sys


def lengths(rng, count):
    # Every length around the 64-byte block and padding boundaries, then
    # random ones, a few of them spanning many blocks.
    fixed = list(range(0, 130)) + [447, 448, 511, 512, 1000, 4096, 65537]
    for n in fixed:
        yield n
    for _ in range(max(0, count - len(fixed))):
        yield rng.choice([rng.randrange(0, 200), rng.randrange(0, 5000)])


def main():
    seed, count = int(sys.argv[1]), int(sys.argv[2])
    rng = random.Random(seed)
    for n in lengths(rng, count):
        data = bytes(rng.getrandbits(8) for _ in range(n))
        b64 = base64.b64encode(data).decode("ascii")
        print(data.hex() or "-", hashlib.sha1(data).hexdigest(), b64 or "-")


if __name__ == "__main__":
    main()
