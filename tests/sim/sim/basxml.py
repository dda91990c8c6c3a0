"""basXML calls of the simulated system: the token stream, asXML values, and
the mapping between a document and the call context / Reply of a function.

Token stream: "BXML", then one-byte tokens with operands.  Numbers are
varints shaped like UTF-8 (1 to 4 bytes, 21 bits, shortest form); a string
is a varint length and UTF-8 bytes.

  ? name value   declaration (VER 0.7, ENC utf-8)
  + text         defines the next string id (the first is 2)
  : prefix uri   declares the next namespace id (the first is 2; 1 is none)
  * ns           names a namespace id, nothing else
  < name ns      opens an element          @ name ns   attribute name
  A value        the attribute's value     T n bytes   text chunk (1..16384)
  B n bytes      binary content            >           closes the element

The document is asx:abap (attribute version) holding asx:values, whose
children are the parameters.  Values are spelt as the server's XML
serialisation spells them: dates YYYY-MM-DD, times HH:MM:SS, packed numbers
with their decimals, raw fields as binary content, structures as one child
per component, tables as "item" children with the hint attribute "lines".

A request is read strictly: every deviation from the client's writer (the
prologue, interned strings used once each and at once, full text chunks,
names beginning with "xml" left unescaped, a missing "lines" hint, a
structure that lacks a component) is a problem of the request.
"""

import re
import struct
from decimal import Decimal, InvalidOperation

import zlib

from . import utclong, values
from .container import Rid, Writer
from .dictionary import DataElement, Structure, TableType

MAGIC = b"BXML"
ASX_URI = "http://www.sap.com/abapxml"
HINT_URI = ASX_URI + "/hint"
NS_NONE, NS_ASX, NS_HINT = "none", "asx", "hint"
CHUNK = 16384
MAX_DEPTH = 128

T_DECL, T_STRING, T_NAMESPACE, T_STAR = 0x3F, 0x2B, 0x3A, 0x2A
T_OPEN, T_ATTR, T_VALUE, T_TEXT, T_BINARY, T_CLOSE = 0x3C, 0x40, 0x41, 0x54, 0x42, 0x3E

# DD40L data types of elementary table lines: (type letter, bytes for LENG).
DDIC_LINES = {
    "INT1": ("b", lambda n: 1), "INT2": ("s", lambda n: 2), "INT4": ("I", lambda n: 4),
    "INT8": ("8", lambda n: 8), "FLTP": ("F", lambda n: 8), "DATS": ("D", lambda n: 16),
    "TIMS": ("T", lambda n: 12), "STRG": ("g", lambda n: 8), "RSTR": ("y", lambda n: 8),
    "RAW": ("X", lambda n: max(n, 1)), "DEC": ("P", lambda n: n // 2 + 1),
    "CURR": ("P", lambda n: n // 2 + 1), "QUAN": ("P", lambda n: n // 2 + 1),
    "UTCL": ("p", lambda n: 8),
}


class BasxmlProblem(Exception):
    """A token stream or document the simulator cannot read."""


class Node:
    """One element: name, namespace, attributes [(name, ns, value)], and
    either text, binary data or children (or nothing)."""

    def __init__(self, name, text=None, data=None, children=None, attrs=None, ns=NS_NONE):
        self.name = name
        self.ns = ns
        self.attrs = list(attrs or [])
        self.text = text
        self.data = data
        self.children = list(children or [])

    def attr(self, name, ns=NS_NONE):
        return next((v for n, s, v in self.attrs if n == name and s == ns), None)

    def child(self, name):
        return next((c for c in self.children if c.name == name), None)

    def __repr__(self):
        return f"Node({self.name!r}, text={self.text!r}, data={self.data!r}, children={self.children!r})"


# --- the token stream ---------------------------------------------------------


def varint(n):
    if n < 0x80:
        return bytes([n])
    if n < 0x800:
        return bytes([0xC0 | n >> 6, 0x80 | n & 0x3F])
    if n < 0x10000:
        return bytes([0xE0 | n >> 12, 0x80 | n >> 6 & 0x3F, 0x80 | n & 0x3F])
    if n < 0x200000:
        return bytes([0xF0 | n >> 18, 0x80 | n >> 12 & 0x3F, 0x80 | n >> 6 & 0x3F, 0x80 | n & 0x3F])
    raise BasxmlProblem(f"{n} does not fit a varint")


class _Reader:
    def __init__(self, data):
        self.data = bytes(data)
        self.pos = 0

    def byte(self):
        if self.pos >= len(self.data):
            raise BasxmlProblem("token stream ended mid-token")
        b = self.data[self.pos]
        self.pos += 1
        return b

    def varint(self):
        at = self.pos
        first = self.byte()
        if first < 0x80:
            return first
        if 0xC0 <= first < 0xE0:
            n, value, least = 1, first & 0x1F, 0x80
        elif 0xE0 <= first < 0xF0:
            n, value, least = 2, first & 0x0F, 0x800
        elif 0xF0 <= first < 0xF8:
            n, value, least = 3, first & 0x07, 0x10000
        else:
            raise BasxmlProblem(f"invalid varint at {at}")
        for _ in range(n):
            b = self.byte()
            if b & 0xC0 != 0x80:
                raise BasxmlProblem(f"invalid varint at {at}")
            value = value << 6 | b & 0x3F
        if value < least:
            raise BasxmlProblem(f"overlong varint at {at}")
        return value

    def chunk(self):
        n = self.varint()
        if self.pos + n > len(self.data):
            raise BasxmlProblem("token stream ended mid-token")
        raw = self.data[self.pos : self.pos + n]
        self.pos += n
        return raw

    def string(self):
        at = self.pos
        try:
            return self.chunk().decode("utf-8")
        except UnicodeDecodeError:
            raise BasxmlProblem(f"invalid UTF-8 in the string at {at}") from None


def read_document(data):
    """(version, parameter nodes, problems) of a token stream; raises
    BasxmlProblem for a stream that cannot be read at all."""
    r = _Reader(data)
    if r.data[:4] != MAGIC:
        raise BasxmlProblem("the document does not start with BXML")
    r.pos = 4
    problems = []
    strings = [None, None]
    used = {}
    namespaces = [None, NS_NONE]
    declarations = []
    stack = []
    root = None
    pending_strings = []  # ids defined but not yet referred to

    def use(sid, at):
        if sid < 2 or sid >= len(strings):
            raise BasxmlProblem(f"undefined string id {sid} at {at}")
        used[sid] = True
        if sid in pending_strings:
            pending_strings.remove(sid)
        return strings[sid]

    def namespace(nid, at):
        if nid < 1 or nid >= len(namespaces):
            raise BasxmlProblem(f"undefined namespace id {nid} at {at}")
        return namespaces[nid]

    while r.pos < len(r.data):
        at = r.pos
        if root is not None:
            raise BasxmlProblem(f"tokens after the root element closed at {at}")
        token = r.byte()
        if token != T_STRING and pending_strings and token not in (T_NAMESPACE, T_OPEN, T_ATTR):
            problems.append(f"strings {[strings[i] for i in pending_strings]} defined before a token "
                            f"that does not use them (at {at})")
            pending_strings.clear()
        if token == T_DECL:
            declarations.append((r.string(), r.string()))
        elif token == T_STRING:
            text = r.string()
            if text in strings[2:]:
                problems.append(f"the string {text!r} is defined twice (at {at})")
            if text[:3].lower() == "xml":
                problems.append(f"the name {text!r} begins with xml and was not written as {text[0]}-{text[1:]}")
            strings.append(text)
            pending_strings.append(len(strings) - 1)
        elif token == T_NAMESPACE:
            prefix = use(r.varint(), at)
            uri = use(r.varint(), at)
            if uri == ASX_URI:
                namespaces.append(NS_ASX)
            elif uri == HINT_URI:
                namespaces.append(NS_HINT)
            else:
                raise BasxmlProblem(f"unknown namespace {uri} (prefix {prefix})")
        elif token == T_STAR:
            namespace(r.varint(), at)
        elif token == T_OPEN:
            name = use(r.varint(), at)
            ns = namespace(r.varint(), at)
            if len(stack) >= MAX_DEPTH:
                raise BasxmlProblem(f"more than {MAX_DEPTH} open elements at {at}")
            stack.append((Node(name, ns=ns), [], bytearray(), [False]))
        elif token == T_ATTR:
            name = use(r.varint(), at)
            ns = namespace(r.varint(), at)
            if r.pos >= len(r.data) or r.data[r.pos] != T_VALUE:
                raise BasxmlProblem(f"attribute name not followed by its value at {at}")
            r.pos += 1
            if not stack:
                raise BasxmlProblem(f"attribute outside any element at {at}")
            stack[-1][0].attrs.append((name, ns, r.string()))
        elif token == T_VALUE:
            raise BasxmlProblem(f"attribute value without a name at {at}")
        elif token == T_TEXT:
            raw = r.chunk()
            if not stack:
                raise BasxmlProblem(f"text outside any element at {at}")
            if not 1 <= len(raw) <= CHUNK:
                raise BasxmlProblem(f"text chunk of {len(raw)} bytes at {at}")
            parts = stack[-1][1]
            if parts and len(parts[-1]) != CHUNK:
                raise BasxmlProblem(f"text continuation after a partial chunk at {at}")
            parts.append(raw)
        elif token == T_BINARY:
            raw = r.chunk()
            if not stack:
                raise BasxmlProblem(f"binary outside any element at {at}")
            if stack[-1][3][0]:
                raise BasxmlProblem(f"second binary token in one element at {at}")
            stack[-1][3][0] = True
            stack[-1][2].extend(raw)
            if not raw:
                problems.append(f"an empty binary token at {at}")
        elif token == T_CLOSE:
            if not stack:
                raise BasxmlProblem(f"close with nothing open at {at}")
            node, parts, data, _ = stack.pop()
            text = b"".join(parts)
            if sum(bool(x) for x in (text, data, node.children)) > 1:
                raise BasxmlProblem(f"element {node.name} mixes text, binary and children")
            if text:
                try:
                    node.text = text.decode("utf-8")
                except UnicodeDecodeError:
                    raise BasxmlProblem(f"the text of {node.name} is not UTF-8") from None
            elif data:
                node.data = bytes(data)
            if stack:
                stack[-1][0].children.append(node)
            else:
                root = node
        else:
            raise BasxmlProblem(f"unknown token 0x{token:02x} at {at}")
        if token != T_STRING and pending_strings:
            problems.append(f"strings {[strings[i] for i in pending_strings]} defined long before their use "
                            f"(at {at})")
            pending_strings.clear()
    if root is None:
        raise BasxmlProblem("the token stream ended with elements still open")
    if declarations != [("VER", "0.7"), ("ENC", "utf-8")]:
        problems.append(f"declarations {declarations}, expected VER 0.7 and ENC utf-8")
    unused = [strings[i] for i in range(2, len(strings)) if i not in used]
    if unused:
        problems.append(f"strings defined and never used: {unused}")
    if root.name != "abap" or root.ns != NS_ASX:
        raise BasxmlProblem("the root is not asx:abap")
    version = root.attr("version")
    if version is None:
        raise BasxmlProblem("asx:abap has no version attribute")
    if len(root.children) != 1 or root.children[0].name != "values" or root.children[0].ns != NS_ASX:
        raise BasxmlProblem("asx:abap does not hold exactly asx:values")
    body = root.children[0]
    if body.text is not None or body.data is not None:
        raise BasxmlProblem("asx:values holds a value")
    return version, body.children, problems


class _Writer:
    def __init__(self):
        self.out = bytearray(MAGIC)
        self.ids = {}

    def string(self, text):
        raw = text.encode("utf-8")
        return varint(len(raw)) + raw

    def intern(self, text):
        sid = self.ids.get(text)
        if sid is None:
            sid = len(self.ids) + 2
            self.ids[text] = sid
            written = text[0] + "-" + text[1:] if text[:3].lower() == "xml" else text
            self.out += bytes([T_STRING]) + self.string(written)
        return varint(sid)

    def element(self, node, ns_ids):
        name = self.intern(node.name)
        self.out += bytes([T_OPEN]) + name + varint(ns_ids[node.ns])
        for aname, ans, avalue in node.attrs:
            a = self.intern(aname)
            self.out += bytes([T_ATTR]) + a + varint(ns_ids[ans]) + bytes([T_VALUE]) + self.string(avalue)
        if node.children:
            for c in node.children:
                self.element(c, ns_ids)
        elif node.data:
            self.out += bytes([T_BINARY]) + varint(len(node.data)) + node.data
        elif node.text:
            raw = node.text.encode("utf-8")
            for i in range(0, len(raw), CHUNK):
                piece = raw[i : i + CHUNK]
                self.out += bytes([T_TEXT]) + varint(len(piece)) + piece
        self.out.append(T_CLOSE)


def write_document(params, version="1.0"):
    """The token stream of a reply document.  Both namespaces are declared
    before the root opens (the client's writer declares the hint namespace
    inside it): a reader must not depend on the order."""
    w = _Writer()
    for name, value in (("VER", "0.7"), ("ENC", "utf-8")):
        w.out += bytes([T_DECL]) + w.string(name) + w.string(value)
    ns_ids = {NS_NONE: 1}
    for prefix, uri, ns in (("asx", ASX_URI, NS_ASX), ("asxhint", HINT_URI, NS_HINT)):
        p = w.intern(prefix)
        u = w.intern(uri)
        w.out += bytes([T_NAMESPACE]) + p + u
        ns_ids[ns] = len(ns_ids) + 1
    w.out += bytes([T_STAR]) + varint(ns_ids[NS_HINT])
    root = Node("abap", ns=NS_ASX, attrs=[("version", NS_NONE, version)],
                children=[Node("values", ns=NS_ASX, children=params)])
    w.element(root, ns_ids)
    return bytes(w.out)


def nested_document(depth):
    """A document whose single parameter nests `depth` elements deep (the
    root and asx:values add two more)."""
    node = Node("LEAF", text="x")
    for i in range(depth - 1):
        node = Node(f"N{i}", children=[node])
    return write_document([node])


# --- deep XML sections as elements --------------------------------------------

_TAG = re.compile(r"<([^>]*)>")
_ENTITY = re.compile(r"&(lt|gt|amp|quot|apos);")
_ENTITIES = {"lt": "<", "gt": ">", "amp": "&", "quot": '"', "apos": "'"}


def nodes_from_deep_xml(xml):
    """The top-level elements of a deep XML section (as sim.deep writes
    them: no attributes, entities in texts) as nodes; names stay escaped,
    as element names of a document are."""
    top, stack, pos = [], [], 0
    for m in _TAG.finditer(xml):
        text = xml[pos : m.start()]
        if stack and text:
            stack[-1][1].append(text)
        pos = m.end()
        tag = m.group(1)
        if tag.startswith("/"):
            node, texts = stack.pop()
            if not node.children:
                joined = _ENTITY.sub(lambda e: _ENTITIES[e.group(1)], "".join(texts))
                node.text = joined or None
            (stack[-1][0].children if stack else top).append(node)
        else:
            stack.append((Node(tag), []))
    return top


# --- layouts --------------------------------------------------------------------


class Elementary:
    """The line of a table type that is one value, not a structure."""

    def __init__(self, inttype, intlen, decimals=0):
        self.inttype = inttype
        self.intlen = intlen
        self.decimals = decimals
        self.size = intlen


def row_layout(dictionary, type_name):
    """The structure (or elementary line) of a dictionary type; None when
    the dictionary does not know it."""
    entry = dictionary.lookup(type_name) if type_name else None
    for _ in range(8):
        if isinstance(entry, TableType):
            if entry.rowtype:
                entry = dictionary.lookup(entry.rowtype)
                continue
            letter, width = DDIC_LINES.get(entry.datatype, ("C", lambda n: 2 * max(n, 1)))
            return Elementary(letter, width(entry.leng), entry.decimals)
        break
    if isinstance(entry, Structure):
        return entry
    if isinstance(entry, DataElement):
        return Elementary(entry.inttype, entry.intlen, entry.decimals)
    return None


# --- asXML scalars ----------------------------------------------------------------

INT_RANGES = {"b": (0, 255), "s": (-(1 << 15), (1 << 15) - 1), "I": (-(1 << 31), (1 << 31) - 1),
              "8": (-(1 << 63), (1 << 63) - 1)}
_DATE = re.compile(r"\d{4}-\d{2}-\d{2}")
_TIME = re.compile(r"\d{2}:\d{2}:\d{2}")
_UTC = re.compile(r"(\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})(?:\.(\d{1,7}))?Z")


def _text_of(node, what):
    if node is None:
        return ""
    if node.children:
        raise values.ValueProblem(f"{what} holds elements instead of a value")
    if node.data is not None:
        raise values.ValueProblem(f"{what} holds binary content instead of text")
    return node.text or ""


def _data_of(node, what):
    if node is None:
        return b""
    if node.children or node.text is not None:
        raise values.ValueProblem(f"{what} holds {'elements' if node.children else 'text'} instead of bytes")
    return node.data or b""


def initial(letter, length, decimals):
    """The initial value of a field, as values.decode gives it."""
    if letter in "CN":
        return values.from_utf16(values.pad_utf16("", length))
    if letter == "D":
        return "00000000"
    if letter == "T":
        return "000000"
    if letter == "P":
        return Decimal(0).quantize(Decimal(1).scaleb(-decimals))
    if letter in "ae":
        return Decimal(0)
    if letter == "F":
        return 0.0
    if letter in INT_RANGES or letter == "p":
        return 0
    if letter == "g":
        return ""
    return bytes(length) if letter == "X" else b""


def scalar_from(node, letter, length, decimals, what):
    """The value of an element (None: absent, the field's initial value) as
    values.decode gives it for a field of this type; raises
    values.ValueProblem."""
    if node is None:
        return initial(letter, length, decimals)
    if letter in "Xy":
        raw = _data_of(node, what)
        if letter == "X":
            if raw and len(raw) != length:
                raise values.ValueProblem(f"{what}: {len(raw)} bytes for a RAW field of {length}")
            return raw.ljust(length, b"\x00")
        return raw
    text = _text_of(node, what)
    if letter in "CN":
        return values.from_utf16(values.pad_utf16(text, length))
    if letter == "D":
        if not _DATE.fullmatch(text):
            raise values.ValueProblem(f"{what}: {text!r} is no YYYY-MM-DD date")
        return text.replace("-", "")
    if letter == "T":
        if not _TIME.fullmatch(text):
            raise values.ValueProblem(f"{what}: {text!r} is no HH:MM:SS time")
        return text.replace(":", "")
    if letter in "Pae":
        try:
            number = Decimal(text)
        except InvalidOperation:
            raise values.ValueProblem(f"{what}: {text!r} is not a number") from None
        if letter != "P":
            return number
        if not number.is_finite() or number.as_tuple().exponent < -decimals:
            raise values.ValueProblem(f"{what}: {text!r} has more than {decimals} decimals")
        number = number.quantize(Decimal(1).scaleb(-decimals))
        values.pack_bcd(number, length, decimals)
        return number
    if letter == "F":
        try:
            return float(text)
        except ValueError:
            raise values.ValueProblem(f"{what}: {text!r} is not a float") from None
    if letter in INT_RANGES:
        if not re.fullmatch(r"[+-]?\d+", text):
            raise values.ValueProblem(f"{what}: {text!r} is not an integer")
        low, high = INT_RANGES[letter]
        if not low <= int(text) <= high:
            raise values.ValueProblem(f"{what}: {text} is out of range for {values.TYPE_NAMES[letter]}")
        return int(text)
    if letter == "g":
        return text
    if letter == "p":
        m = _UTC.fullmatch(text)
        if not m:
            raise values.ValueProblem(f"{what}: {text!r} is no YYYY-MM-DDTHH:MM:SS.fffffffZ timestamp")
        y, mo, d, hh, mi, ss = (int(g) for g in m.groups()[:6])
        frac = int((m.group(7) or "0").ljust(7, "0"))
        try:
            return utclong.from_parts(y, mo, d, hh, mi, ss, frac)
        except ValueError as exc:
            raise values.ValueProblem(f"{what}: {exc}") from None
    raise values.ValueProblem(f"{what}: no asXML form for type {letter!r}")


def scalar_node(name, letter, value):
    """The element of one value of this type."""
    if letter in "Xy":
        return Node(name, data=bytes(value) or None)
    if letter in "CN":
        return Node(name, text=str(value).rstrip(" ") or None)
    if letter == "D":
        v = str(value)
        return Node(name, text=f"{v[:4]}-{v[4:6]}-{v[6:8]}" if v.strip("0 ") else "0000-00-00")
    if letter == "T":
        v = str(value)
        return Node(name, text=f"{v[:2]}:{v[2:4]}:{v[4:6]}" if v.strip("0 ") else "00:00:00")
    if letter == "P":
        return Node(name, text=format(value, "f"))
    if letter in "ae":
        return Node(name, text=str(value))
    if letter == "F":
        return Node(name, text=repr(float(value)))
    if letter in INT_RANGES:
        return Node(name, text=str(int(value)))
    if letter == "p":
        text = utclong.to_text(int(value))
        return Node(name, text=text.replace(" ", "T", 1) + "Z" if text else None)
    if letter == "g":
        return Node(name, text=str(value) or None)
    return Node(name, data=bytes(value) or None)


# --- requests ----------------------------------------------------------------------


def image_of(dictionary, layout, node, what, problems, depth=0):
    """The image of a structure or row element, component by component."""
    if isinstance(layout, Elementary):
        value = scalar_from(node, layout.inttype, layout.intlen, layout.decimals, what)
        return values.encode(layout.inttype, value, layout.intlen, layout.decimals)[: layout.size].ljust(
            layout.size, b"\x00")
    if node is not None and (node.text is not None or node.data is not None):
        raise values.ValueProblem(f"{what} holds a value instead of components")
    kids = node.children if node is not None else []
    names = {f.name for f in layout.fields}
    for k in kids:
        if k.name not in names:
            problems.append(f"{what} has the component {k.name}, which {layout.name} lacks")
    row = {}
    for f in layout.fields:
        child = next((k for k in kids if k.name == f.name), None)
        if child is None and node is not None:
            problems.append(f"{what} lacks its component {f.name}")
        path = f"{what}.{f.name}"
        if f.inttype == "h":
            if child is not None and (child.children or child.attr("lines", NS_HINT) != "0"):
                problems.append(f"{path} is a table inside a structure and should travel empty")
            continue
        if f.inttype == "u":
            nested = dictionary.structures.get(f.rollname)
            if nested is None or depth >= 40:
                row[f.name] = b""
                continue
            row[f.name] = image_of(dictionary, nested, child, path, problems, depth + 1)
            continue
        row[f.name] = scalar_from(child, f.inttype, f.intlen, f.decimals, path)
    return layout.encode(row)


def table_rows(dictionary, layout, node, what, problems):
    if node.text is not None or node.data is not None:
        raise values.ValueProblem(f"table {what} holds a value instead of rows")
    lines = node.attr("lines", NS_HINT)
    if lines != str(len(node.children)):
        problems.append(f"table {what} has {len(node.children)} rows and the lines hint {lines!r}")
    rows = []
    for i, item in enumerate(node.children, 1):
        if item.name != "item":
            problems.append(f"row {i} of {what} is named {item.name}, not item")
        rows.append(image_of(dictionary, layout, item, f"{what}[{i}]", problems))
    return rows


def apply_request(fn, dictionary, params, ctx, problems, unknown):
    """Fills the call context from the parameter elements of a request, as
    a classic request would: imports decoded, structures and table rows as
    images.  `unknown(name)` is called for an element no input parameter
    takes."""
    for node in params:
        param = fn.interface.find(node.name)
        if param is not None and param.name != node.name:
            problems.append(f"parameter {node.name} is spelt {param.name} by the interface")
        if param is None or param.direction == "X":
            unknown(node.name)
            continue
        is_table = param.direction == "T" or param.abap == "h"
        if param.abap in "uv" and node.attr("lines", NS_HINT) is not None:
            problems.append(f"structure {param.name} carries a lines hint")
        if not param.is_input:
            # An output table type travels as an empty table; anything else
            # has no business in a request.
            if not (is_table and not node.children):
                unknown(node.name)
            continue
        layout = row_layout(dictionary, param.type_name) if (is_table or param.abap in "uv") else None
        if is_table:
            if layout is None:
                raise values.ValueProblem(f"table {param.name} has no row type the dictionary knows")
            rows = table_rows(dictionary, layout, node, param.name, problems)
            if param.direction == "T":
                ctx.tables[param.name] = rows
            else:
                ctx.raw[param.name] = ctx.imports[param.name] = b"".join(rows)
            continue
        if param.abap in "uv":
            if layout is None:
                raise values.ValueProblem(f"structure {param.name} has no type the dictionary knows")
            image = image_of(dictionary, layout, node, param.name, problems)
            ctx.raw[param.name] = ctx.imports[param.name] = image
            continue
        value = scalar_from(node, param.abap, param.length, param.decimals, param.name)
        ctx.imports[param.name] = value
        ctx.raw[param.name] = values.encode(param.abap, value, param.length, param.decimals)


# --- replies -------------------------------------------------------------------------


def structure_node(dictionary, name, layout, image, depth=0):
    if isinstance(layout, Elementary):
        value = values.decode(layout.inttype, image[: layout.size], layout.intlen, layout.decimals)
        return scalar_node(name, layout.inttype, value)
    image = bytes(image)[: layout.size].ljust(layout.size, b"\x00")
    children = []
    for f in layout.fields:
        raw = image[f.offset : f.offset + f.intlen]
        if f.inttype == "h":
            children.append(Node(f.name, attrs=[("lines", NS_HINT, "0")]))
        elif f.inttype == "u" and f.rollname in dictionary.structures and depth < 40:
            children.append(structure_node(dictionary, f.name, dictionary.structures[f.rollname], raw, depth + 1))
        else:
            children.append(scalar_node(f.name, f.inttype, values.decode(f.inttype, raw, f.intlen, f.decimals)))
    return Node(name, children=children)


def table_node(name, items):
    return Node(name, children=items, attrs=[("lines", NS_HINT, str(len(items)))])


def value_node(name, value):
    """A nested Python value as an element: dicts are structures, lists
    tables, everything else text (bytes as binary content)."""
    if isinstance(value, dict):
        return Node(name, children=[value_node(k, v) for k, v in value.items()])
    if isinstance(value, list):
        return table_node(name, [value_node("item", v) for v in value])
    if isinstance(value, (bytes, bytearray)):
        return Node(name, data=bytes(value) or None)
    return Node(name, text=str(value) or None)


def reply_params(fn, dictionary, reply):
    """The parameter elements of a Reply: exports, tables, nested values and
    deep sections, in that order."""
    params = []
    for name, raw in reply.exports:
        param = fn.interface.find(name)
        if param is None:
            params.append(Node(name, data=bytes(raw) or None))
            continue
        layout = row_layout(dictionary, param.type_name) if param.abap in "uv" else None
        if layout is not None:
            params.append(structure_node(dictionary, param.name, layout, raw))
        elif param.abap in "uvh":
            params.append(Node(param.name, data=bytes(raw) or None))
        else:
            params.append(scalar_node(param.name, param.abap,
                                      values.decode(param.abap, raw, param.length, param.decimals)))
    for t in reply.tables:
        param = fn.interface.find(t.name)
        layout = row_layout(dictionary, param.type_name) if param is not None else None
        if layout is None:
            items = [Node("item", data=bytes(r) or None) for r in t.rows]
        else:
            items = [structure_node(dictionary, "item", layout, r) for r in t.rows]
        params.append(table_node(t.name, items))
    for name, value in reply.nested:
        params.append(value_node(name, value))
    for xml, _ in reply.deep:
        params.extend(nodes_from_deep_xml(xml))
    return params


# --- containers ---------------------------------------------------------------------

VERSION_RECORD = b"\x01\x01"
BOMB_BYTES = (64 << 20) + 1


def request_payload(records):
    """(inflated document, problems) of the basXML records of a request, in
    the order they came: BasxmlVersion 01 01, one or more BasxmlPayload,
    BasxmlEnd.  Raises BasxmlProblem when the payload does not inflate."""
    problems = []
    ids = [rid for rid, _ in records]
    payloads = [v for rid, v in records if rid == Rid.BASXML_PAYLOAD]
    if (len(ids) < 3 or ids[0] != Rid.BASXML_VERSION or ids[-1] != Rid.BASXML_END
            or any(i != Rid.BASXML_PAYLOAD for i in ids[1:-1])):
        problems.append("basXML records " + " ".join(f"0x{i:04x}" for i in ids)
                        + ", expected 0x4000, 0x4002..., 0x4004")
    for rid, value in records:
        if rid == Rid.BASXML_VERSION and bytes(value) != VERSION_RECORD:
            problems.append(f"BasxmlVersion holds {bytes(value).hex()}, expected 0101")
        if rid == Rid.BASXML_END and value:
            problems.append(f"BasxmlEnd holds {len(value)} bytes")
    inflater = zlib.decompressobj(-15)
    try:
        document = inflater.decompress(b"".join(bytes(v) for v in payloads), 256 << 20)
    except zlib.error as exc:
        raise BasxmlProblem(f"the payload does not inflate: {exc}") from None
    if not inflater.eof:
        raise BasxmlProblem("the payload ends inside its DEFLATE stream")
    if inflater.unused_data:
        problems.append(f"{len(inflater.unused_data)} bytes after the DEFLATE stream")
    return document, problems


def deflate(document):
    c = zlib.compressobj(6, zlib.DEFLATED, -15)
    return c.compress(document) + c.flush()


def flat_elements_payload(count):
    """A valid document whose one parameter E_FLAT holds `count` empty
    elements (four bytes each), deflated: a few bytes per thousand."""
    doc = write_document([Node("E_FLAT", children=[Node("x"), Node("x")])])
    child = doc[-7:-3]  # the second child; three closes follow it
    assert doc[-11:-7] == child
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    out = [c.compress(doc[:-11])]
    block = child * (1 << 18)
    full, rest = divmod(count, 1 << 18)
    out += [c.compress(block) for _ in range(full)]
    out.append(c.compress(child * rest))
    out.append(c.compress(doc[-3:]))
    return b"".join(out) + c.flush()


def hostile_payload(kind):
    """Payloads for the reply knob: "garbage" does not inflate, "bomb"
    inflates past 64 MiB, "deep" nests 129 elements, "badmagic" is no
    token stream, "truncated" ends mid-token, "elements:N" is a valid
    document of N empty elements."""
    if kind.startswith("elements:"):
        return flat_elements_payload(int(kind.partition(":")[2]))
    if kind == "garbage":
        return b"\xff\xfe\xfd\xfc"
    if kind == "bomb":
        c = zlib.compressobj(9, zlib.DEFLATED, -15)
        chunk = bytes(1 << 20)
        out = [c.compress(chunk) for _ in range(BOMB_BYTES >> 20)]
        out.append(c.compress(bytes(BOMB_BYTES & ((1 << 20) - 1))))
        return b"".join(out) + c.flush()
    if kind == "deep":
        return deflate(nested_document(MAX_DEPTH - 1))
    if kind == "badmagic":
        return deflate(b"<abap/>")
    if kind == "truncated":
        return deflate(write_document([Node("E_TEXT", text="cut")])[:-3])
    raise ValueError(f"unknown basxml_reply knob {kind}")


def reply_container(payload, piece=0, before=()):
    """A basXML reply: the records `before` (ABAP error records, extras),
    then BasxmlVersion, the payload in records of `piece` bytes (one record
    when 0) and BasxmlEnd."""
    w = Writer()
    for rid, value in before:
        w.add(rid, value)
    w.add(Rid.BASXML_VERSION, VERSION_RECORD)
    step = piece if piece > 0 else max(1, len(payload))
    for start in range(0, max(1, len(payload)), step):
        w.add(Rid.BASXML_PAYLOAD, payload[start : start + step])
    w.add(Rid.BASXML_END)
    return w.finish()
