"""Random deep-XML documents and their trees as expat reads them.

Generates documents in the subset that deep XML and XML share (elements
without attributes, text with the five named entities and numeric character
references, names that may carry "_--XX" escapes), parses each with
xml.parsers.expat and prints two lines per document:

    D <hex of the document bytes>
    T <hex-encoded canonical form of its top-level elements>

The canonical form of a node is "(" hex(name) ":" hex(text) children ")",
where the text is every piece of character data directly inside the element
(between its children included) and the name has its escapes decoded.
Usage: deep_expat.py SEED COUNT
"""
import random
import re
import sys
import xml.parsers.expat

NAME_START = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_"
NAME_REST = NAME_START + "0123456789.-"
NAME_EXTRAS = ["_--2F", "_--2f", "_--C3_--A9", "_--FF", "_--zz", "_--4", "_--", "é", "ß",
               "item"]
TEXT_PIECES = ["a", "Bc", "123", " ", "  ", "\n", "\t", ">", '"', "'", "é", "中", "😀",
               "x y", "&lt;", "&gt;", "&amp;", "&quot;", "&apos;", "&#65;", "&#x42;",
               "&#x1F600;", "&#233;", "&#xe9;", "&#xE9;", "&#0065;", "&#x00a0;", "-", ";",
               "#", "_--2F"]


def rand_name(rng):
    if rng.random() < 0.15:
        return "item"
    s = rng.choice(NAME_START)
    for _ in range(rng.randrange(0, 6)):
        if rng.random() < 0.2:
            s += rng.choice(NAME_EXTRAS)
        else:
            s += rng.choice(NAME_REST)
    return s


def rand_text(rng):
    return "".join(rng.choice(TEXT_PIECES) for _ in range(rng.randrange(0, 4)))


def rand_element(rng, depth):
    name = rand_name(rng)
    parts = ["<" + name + ">", rand_text(rng)]
    if depth > 0:
        for _ in range(rng.randrange(0, 4)):
            parts.append(rand_element(rng, depth - 1))
            parts.append(rand_text(rng))
    parts.append("</" + name + ">")
    return "".join(parts)


def deep_chain(rng, n):
    names = [rand_name(rng) for _ in range(n)]
    return ("".join("<%s>%s" % (m, rand_text(rng)) for m in names) +
            "".join("</%s>" % m for m in reversed(names)))


ESCAPE = re.compile(rb"_--([0-9A-Fa-f]{2}|\+[0-9A-Fa-f])")


def unescape(name):
    raw = name.encode()
    out = ESCAPE.sub(lambda m: bytes([int(m.group(1).replace(b"+", b""), 16)]), raw)
    try:
        return out.decode("utf-8")
    except UnicodeDecodeError:
        return name


class Node:
    def __init__(self, name):
        self.name = name
        self.text = []
        self.children = []


def read_with_expat(doc):
    root = Node("")
    stack = [root]
    p = xml.parsers.expat.ParserCreate("UTF-8")

    def start(name, attrs):
        assert not attrs
        n = Node(name)
        stack[-1].children.append(n)
        stack.append(n)

    def end(name):
        stack.pop()

    def chars(data):
        stack[-1].text.append(data)

    p.StartElementHandler = start
    p.EndElementHandler = end
    p.CharacterDataHandler = chars
    p.Parse(("<R>" + doc + "</R>").encode(), True)
    # The wrapper's own text stands outside every element of the document.
    return root.children[0].children


def canonical(nodes):
    out = []
    work = [("node", n) for n in reversed(nodes)]
    while work:
        tag, n = work.pop()
        if tag == "close":
            out.append(")")
            continue
        out.append("(" + unescape(n.name).encode().hex() + ":" + "".join(n.text).encode().hex())
        work.append(("close", None))
        work.extend(("node", c) for c in reversed(n.children))
    return "".join(out)


def main():
    seed, count = int(sys.argv[1]), int(sys.argv[2])
    rng = random.Random(seed)
    lines = []
    for i in range(count):
        if i % 10 == 9:
            doc = rand_text(rng) + deep_chain(rng, rng.randrange(20, 200)) + rand_text(rng)
        else:
            doc = rand_text(rng)
            for _ in range(rng.randrange(0, 4)):
                doc += rand_element(rng, rng.randrange(0, 5)) + rand_text(rng)
        lines.append("D " + doc.encode().hex())
        lines.append("T " + canonical(read_with_expat(doc)))
    sys.stdout.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
