"""A small ABAP Dictionary: data elements and flat structures, answered by
DDIF_FIELDINFO_GET as DFIES rows.

A DFIES row in UTF-16LE code units (a client reads units 0..189):

  0..29 TABNAME   30..59 FIELDNAME   60 LANGU   61..64 POSITION
  65..70 OFFSET   71..100 DOMNAME    101..130 ROLLNAME
  131..160 CHECKTABLE   161..166 LENG   167..172 INTLEN
  173..178 OUTPUTLEN    179..184 DECIMALS   185..188 DATATYPE   189 INTTYPE
  190.. further columns (REFTABLE, REFFIELD, ..., FIELDTEXT) that carry text

Offsets of structure fields follow the alignment of each type (2 for
character types, 4 for INT4, 8 for FLOAT/INT8/strings, 16 for DECFLOAT34,
1 for packed and raw), and a structure's size is rounded up to its largest
alignment.
"""

import copy

from . import values

DFIES_UNITS = 420

DATATYPES = {
    "C": "CHAR", "N": "NUMC", "D": "DATS", "T": "TIMS", "P": "DEC", "F": "FLTP", "b": "INT1",
    "s": "INT2", "I": "INT4", "8": "INT8", "X": "RAW", "g": "STRG", "y": "RSTR", "a": "DF16_DEC",
    "e": "DF34_DEC", "p": "UTCL", "u": "STRU", "h": "TTYP",
}
ALIGNMENT = {"C": 2, "N": 2, "D": 2, "T": 2, "P": 1, "F": 8, "b": 1, "s": 2, "I": 4, "8": 8, "X": 1,
             "g": 8, "y": 8, "a": 8, "e": 16, "p": 8, "h": 8, "u": 8}


class Field:
    def __init__(self, name, inttype, intlen=None, decimals=0, rollname="", datatype=None, leng=None):
        self.name = name
        self.inttype = inttype
        self.intlen = values.FIXED_LENGTHS.get(inttype, 0) if intlen is None else intlen
        self.decimals = decimals
        self.rollname = rollname
        self.datatype = datatype or DATATYPES.get(inttype, "CHAR")
        if leng is None:
            if inttype in "CNDT":
                leng = self.intlen // 2
            elif inttype == "P":
                leng = 2 * self.intlen - 1
            else:
                leng = self.intlen
        self.leng = leng
        self.offset = 0


class DataElement(Field):
    def __init__(self, name, inttype, intlen=None, decimals=0, **kw):
        super().__init__("", inttype, intlen, decimals, rollname=name, **kw)
        self.element = name


class Structure:
    def __init__(self, name, fields, lines_descr=False):
        self.name = name
        self.fields = list(fields)
        self.lines_descr = lines_descr
        offset = 0
        largest = 1
        for f in self.fields:
            align = ALIGNMENT.get(f.inttype, 1)
            largest = max(largest, align)
            offset = (offset + align - 1) // align * align
            f.offset = offset
            offset += f.intlen
        self.size = (offset + largest - 1) // largest * largest

    def field(self, name):
        return next((f for f in self.fields if f.name == name), None)

    def encode(self, row):
        """The image of one row given as {field name: value}; missing text
        fields are blank, everything else zero."""
        image = bytearray(self.size)
        for f in self.fields:
            if f.inttype in "CNDT":
                image[f.offset : f.offset + f.intlen] = values.pad_utf16("", f.intlen)
        for name, value in row.items():
            f = self.field(name)
            raw = values.encode(f.inttype, value, f.intlen, f.decimals)
            image[f.offset : f.offset + f.intlen] = raw[: f.intlen].ljust(f.intlen, b"\x00")
        return bytes(image)

    def decode(self, image):
        return {f.name: values.decode(f.inttype, image[f.offset : f.offset + f.intlen], f.intlen, f.decimals)
                for f in self.fields}

    def describe(self, row):
        """A row as the simulator reports it: NAME=text pairs joined by ';'."""
        return ";".join(f"{f.name}={values.text(f.inttype, row[f.name])}" for f in self.fields)


def _num(value, width):
    return str(value).rjust(width, "0")[-width:]


def dfies_row(table_name, f, position):
    cols = [
        (table_name, 30), (f.name, 30), ("E", 1), (_num(position, 4), 4), (_num(f.offset, 6), 6),
        (f.rollname and ("D_" + f.rollname)[:30], 30), (f.rollname, 30), ("", 30),
        (_num(f.leng, 6), 6), (_num(f.intlen, 6), 6), (_num(f.leng, 6), 6), (_num(f.decimals, 6), 6),
        (f.datatype, 4), (f.inttype, 1),
        ("", 30), ("", 30), ("", 30), ("", 3), ("", 20), ("", 1), ("", 20), ("0000", 4), ("", 5),
        ("00", 2), ("00", 2), ("00", 2), ("00", 2),
        (f"Simulated field {f.name or f.rollname}", 60),
    ]
    units = "".join(text[:width].ljust(width) for text, width in cols)
    assert units[185:190] == f.datatype.ljust(4)[:4] + f.inttype
    return values.pad_utf16(units, 2 * DFIES_UNITS)


def dfies_rows(dictionary, structure):
    """The DFIES_TAB rows of a structure: one per field; a field that is a
    nested structure ("STRU") is followed by the rows of its components, at
    offsets inside its own range, as the dictionary lists them with
    ALL_TYPES.  A structure that contains itself is listed one level deep."""
    rows = []

    def add(fields, base, seen):
        for f in fields:
            moved = copy.copy(f)
            moved.offset = base + f.offset
            rows.append(dfies_row(structure.name, moved, len(rows) + 1))
            nested = dictionary.structures.get(f.rollname) if f.datatype == "STRU" else None
            if nested is not None and nested.name not in seen:
                add(nested.fields, moved.offset, seen | {nested.name})

    add(structure.fields, 0, {structure.name})
    return rows


class TableType:
    """A table type as DD40L describes its line: a named row type (ROWKIND
    "S" a structure, "E" a data element) or an elementary dictionary type
    (DATATYPE, LENG, DECIMALS)."""

    def __init__(self, name, rowtype="", rowkind="", datatype="", leng=0, decimals=0):
        self.name = name
        self.rowtype = rowtype
        self.rowkind = rowkind
        self.datatype = datatype
        self.leng = leng
        self.decimals = decimals


def lines_descr_xml(structure):
    from .deep import element

    rows = []
    for position, f in enumerate(structure.fields, 1):
        rows.append(("item", [
            ("TABNAME", structure.name), ("FIELDNAME", f.name), ("POSITION", _num(position, 4)),
            ("OFFSET", _num(f.offset, 6)), ("ROLLNAME", f.rollname), ("INTLEN", _num(f.intlen, 6)),
            ("DECIMALS", _num(f.decimals, 6)), ("DATATYPE", f.datatype), ("INTTYPE", f.inttype),
        ]))
    return element("LINES_DESCR", [("item", [("TYPENAME", structure.name), ("FIELDS", rows)])])


class Dictionary:
    def __init__(self):
        self.elements = {}
        self.structures = {}
        self.table_types = {}

    def add(self, entry):
        if isinstance(entry, Structure):
            self.structures[entry.name] = entry
        elif isinstance(entry, TableType):
            self.table_types[entry.name] = entry
        else:
            self.elements[entry.element] = entry
        return entry

    def lookup(self, name):
        name = name.strip().upper()
        return self.structures.get(name) or self.elements.get(name) or self.table_types.get(name)


def standard_dictionary():
    d = Dictionary()
    d.add(DataElement("ZSIM_AMOUNT", "P", 8, 2))
    d.add(DataElement("ZSIM_RATE", "P", 6, 5))
    d.add(DataElement("ZSIM_NAME", "C", 40))
    d.add(Structure("ZSIM_ROW", [
        Field("ID", "I"),
        Field("NAME", "C", 40, rollname="ZSIM_NAME"),
        Field("AMOUNT", "P", 8, 2, rollname="ZSIM_AMOUNT"),
        Field("DAY", "D", 16),
        Field("SCORE", "F"),
    ]))
    # The rows of Z_SIM_ROWS: two fields each of CHAR, NUMC, INT4, packed
    # with decimals and DATS; 188 bytes.
    d.add(Structure("ZSIM_BULK", [
        Field("ID", "I"),
        Field("NAME", "C", 60),
        Field("CITY", "C", 40),
        Field("ACCOUNT", "N", 20),
        Field("ZIP", "N", 10),
        Field("QUANTITY", "I"),
        Field("AMOUNT", "P", 8, 2, rollname="ZSIM_AMOUNT"),
        Field("RATE", "P", 6, 5, rollname="ZSIM_RATE"),
        Field("CREATED", "D", 16),
        Field("CHANGED", "D", 16),
    ]))
    d.add(Structure("ZSIM_LINE", [Field("LINE", "C", 144)], lines_descr=True))
    d.add(Structure("RFC_FUNINT", [
        Field("PARAMCLASS", "C", 2), Field("PARAMETER", "C", 60), Field("TABNAME", "C", 60),
        Field("FIELDNAME", "C", 60), Field("EXID", "C", 2), Field("POSITION", "I"), Field("OFFSET", "I"),
        Field("INTLENGTH", "I"), Field("DECIMALS", "I"), Field("DEFAULT", "C", 42),
        Field("PARAMTEXT", "C", 158), Field("OPTIONAL", "C", 2),
    ]))
    d.add(Structure("RSEXC", [Field("EXCEPTION", "C", 60)]))
    d.add(Structure("DFIES", [Field("ROW", "C", 2 * DFIES_UNITS)]))
    d.add(Structure("X030L", [Field("TABNAME", "C", 60), Field("JUNK", "X", 100)]))
    d.add(Structure("DDFIXVALUES", [Field("LOW", "C", 20), Field("HIGH", "C", 20)]))
    # A structure with a nested one: ID at 0, ROW (ZSIM_ROW, 80 bytes) aligned
    # to 8, FLAG at 88; 96 bytes.  Its DFIES rows list ROW's components too.
    d.add(Structure("ZSIM_NEST", [
        Field("ID", "I"),
        Field("ROW", "u", 80, rollname="ZSIM_ROW"),
        Field("FLAG", "C", 2),
    ]))
    # A structure whose nested field refers to itself (hostile, but it must
    # not make a client describe it forever).
    d.add(Structure("ZSIM_SELF", [Field("ID", "I"), Field("ME", "u", 8, rollname="ZSIM_SELF")]))
    # The types of RFC_READ_TABLE's tables.
    d.add(Structure("RFC_DB_OPT", [Field("TEXT", "C", 144)]))
    d.add(Structure("RFC_DB_FLD", [Field("FIELDNAME", "C", 60), Field("OFFSET", "N", 12),
                                   Field("LENGTH", "N", 12), Field("TYPE", "C", 2),
                                   Field("FIELDTEXT", "C", 120)]))
    d.add(Structure("TAB512", [Field("WA", "C", 1024)]))
    # The type of a deep structure: a table type inside a structure.
    d.add(Structure("ZSIM_DEEP", [
        Field("ID", "I"),
        Field("NAME", "C", 40),
        Field("ITEMS", "h", rollname="ZSIM_NAME_TAB"),
    ]))
    # Table types, described through DD40L.
    d.add(TableType("ZSIM_ROW_TAB", rowtype="ZSIM_ROW", rowkind="S"))
    d.add(TableType("ZSIM_NAME_TAB", rowtype="ZSIM_NAME", rowkind="E"))
    d.add(TableType("ZSIM_DEC_TAB", datatype="DEC", leng=7, decimals=2))
    d.add(TableType("ZSIM_CHAR_TAB", datatype="CHAR", leng=10))
    d.add(TableType("ZSIM_DATE_TAB", datatype="DATS", leng=8))
    # Two table types whose rows are each other: a cycle without any fields.
    d.add(TableType("ZSIM_LOOP_A", rowtype="ZSIM_LOOP_B", rowkind="S"))
    d.add(TableType("ZSIM_LOOP_B", rowtype="ZSIM_LOOP_A", rowkind="S"))
    return d
