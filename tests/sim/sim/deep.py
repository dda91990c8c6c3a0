"""Deep values as the XML text of DeepContent records.

Elements only, no attributes: <NAME>text</NAME> or <NAME><CHILD>..</CHILD></NAME>.
Names escape every byte outside letters, digits, '_' and '-' as "_--" and two
hex digits ('/' becomes _--2F); texts escape &, < and > as entities.
"""

import re

_NAME_OK = re.compile(r"[A-Za-z0-9_\-]")


def escape_name(name):
    out = []
    for ch in name:
        if _NAME_OK.fullmatch(ch):
            out.append(ch)
        else:
            out.extend(f"_--{b:02X}" for b in ch.encode("utf-8"))
    return "".join(out)


def escape_text(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def element(name, content):
    """content: a text, or a list of (name, content) children."""
    tag = escape_name(name)
    if isinstance(content, str):
        inner = escape_text(content)
    else:
        inner = "".join(element(n, c) for n, c in content)
    return f"<{tag}>{inner}</{tag}>"


def split_text(text, piece):
    """UTF-8 pieces of at most `piece` bytes, cut only between characters."""
    data = text.encode("utf-8")
    if piece <= 0 or len(data) <= piece:
        return [data]
    pieces = []
    start = 0
    while start < len(data):
        end = min(start + piece, len(data))
        while end < len(data) and end > start + 1 and (data[end] & 0xC0) == 0x80:
            end -= 1
        pieces.append(data[start:end])
        start = end
    return pieces
