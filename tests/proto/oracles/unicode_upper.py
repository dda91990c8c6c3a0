# Prints every code point whose full upper case differs from itself, as
# "<code point hex> <upper case as UTF-8 hex>", one per line, in code point
# order. Python's str.upper applies the unconditional special casing.
import sys

out = []
for cp in range(0x110000):
    if 0xD800 <= cp < 0xE000:
        continue
    c = chr(cp)
    u = c.upper()
    if u != c:
        out.append("%x %s\n" % (cp, u.encode("utf-8").hex()))
sys.stdout.write("".join(out))
