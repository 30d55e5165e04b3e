"""Joining two Parquet files written side by side into one: the second file's
column chunks follow the first's, and one footer lists the row groups of both,
the second's offsets moved by where its chunks now lie.

A footer is a Thrift FileMetaData in the compact protocol. It is decoded here
into plain values (a struct is a list of (field id, type, value), a list is
(element type, values)), edited and encoded again; no other structure of the
file is touched. A moved structure holding a field this module does not know
is refused (`FooterError`): its offsets could not all be moved."""

from __future__ import annotations

import struct
from typing import Any

MAGIC = b"PAR1"
_STOP, _TRUE, _FALSE, _BYTE, _I16, _I32, _I64, _DOUBLE, _BINARY, _LIST, _SET, _MAP, _STRUCT = range(13)

# Field ids of the footer's structures that this module reads or moves.
_FILE_NUM_ROWS, _FILE_ROW_GROUPS = 3, 4
_GROUP_COLUMNS, _GROUP_FILE_OFFSET, _GROUP_ORDINAL = 1, 5, 7
_CHUNK_FILE_OFFSET, _CHUNK_META = 2, 3
_META_OFFSETS = (9, 10, 11, 14)  # data, index and dictionary pages, bloom filter
# Every field a moved structure may hold; the offsets among them are those above.
# A chunk's file path, page index and encryption are left out: their offsets
# point into another file, or lie inside structures this module does not read.
_GROUP_FIELDS = frozenset(range(1, 8))  # columns, sizes, rows, sorting, offset, ordinal
_CHUNK_FIELDS = frozenset((_CHUNK_FILE_OFFSET, _CHUNK_META))
_META_FIELDS = frozenset(range(1, 18))  # type ... bloom filter, size and geospatial statistics


class FooterError(ValueError):
    """A footer this module cannot join: a field missing, or one it does not know."""


def footer_of(data: bytes | memoryview) -> tuple[int, bytes]:
    """Where a whole Parquet file's footer starts, and the footer."""
    length = int.from_bytes(data[-8:-4], "little")
    if bytes(data[-4:]) != MAGIC or bytes(data[:4]) != MAGIC or length + 12 > len(data):
        raise ValueError("not a complete Parquet file")
    start = len(data) - 8 - length
    return start, bytes(data[start:-8])


def joined_footer(first: bytes, second: bytes, shift: int) -> bytes:
    """The footer of the first file's row groups followed by the second's,
    whose chunks have moved `shift` bytes further into the file; with its
    length and the closing magic, ready to end the joined file. Raises
    FooterError where a footer lacks a field or a moved structure holds one
    this module does not know."""
    try:
        head = _Decoder(first).struct()
        tail = _Decoder(second).struct()
    except IndexError:
        raise FooterError("a Parquet footer ends inside a structure") from None
    groups = _field(head, _FILE_ROW_GROUPS)
    moved = [_moved_group(group, shift, len(groups[1]) + i) for i, group in enumerate(_field(tail, _FILE_ROW_GROUPS)[1])]
    _set(head, _FILE_ROW_GROUPS, (groups[0], groups[1] + moved))
    _set(head, _FILE_NUM_ROWS, _field(head, _FILE_NUM_ROWS) + _field(tail, _FILE_NUM_ROWS))
    encoded = _Encoder().struct(head)
    return encoded + struct.pack("<I", len(encoded)) + MAGIC


def _moved_group(group: list[Any], shift: int, ordinal: int) -> list[Any]:
    _check_known(group, _GROUP_FIELDS, "row group")
    _shift(group, _GROUP_FILE_OFFSET, shift)
    _set(group, _GROUP_ORDINAL, ordinal, only_if_present=True)
    for chunk in _field(group, _GROUP_COLUMNS)[1]:
        _check_known(chunk, _CHUNK_FIELDS, "column chunk")
        _shift(chunk, _CHUNK_FILE_OFFSET, shift)
        meta = _field(chunk, _CHUNK_META)
        _check_known(meta, _META_FIELDS, "column metadata")
        for field in _META_OFFSETS:
            _shift(meta, field, shift)
    return group


def _check_known(fields: list[Any], known: frozenset[int], structure: str) -> None:
    unknown = sorted({fid for fid, _, _ in fields} - known)
    if unknown:
        raise FooterError(f"a {structure} holds field {unknown[0]}, which this module cannot move")


def _field(fields: list[Any], field_id: int) -> Any:
    for fid, _, value in fields:
        if fid == field_id:
            return value
    raise FooterError(f"a Parquet footer's structure lacks field {field_id}")


def _set(fields: list[Any], field_id: int, value: Any, only_if_present: bool = False) -> None:
    for i, (fid, ttype, _) in enumerate(fields):
        if fid == field_id:
            fields[i] = (fid, ttype, value)
            return
    if not only_if_present:
        raise FooterError(f"a Parquet footer's structure lacks field {field_id}")


def _shift(fields: list[Any], field_id: int, shift: int) -> None:
    """Moves an offset; 0, which no structure can start at (the magic is
    there), says the writer left it unset and stays."""
    for i, (fid, ttype, value) in enumerate(fields):
        if fid == field_id and value != 0:
            fields[i] = (fid, ttype, value + shift)


class _Decoder:
    def __init__(self, data: bytes) -> None:
        self._data = data
        self._at = 0

    def _byte(self) -> int:
        value = self._data[self._at]
        self._at += 1
        return value

    def _varint(self) -> int:
        value = shift = 0
        while True:
            byte = self._byte()
            value |= (byte & 0x7F) << shift
            shift += 7
            if byte < 0x80:
                return value

    def _zigzag(self) -> int:
        value = self._varint()
        return (value >> 1) ^ -(value & 1)

    def struct(self) -> list[Any]:
        fields: list[Any] = []
        last = 0
        while (header := self._byte()) != _STOP:
            ttype = header & 0x0F
            last = last + (header >> 4) if header >> 4 else self._zigzag()
            fields.append((last, ttype, self.value(ttype, in_struct=True)))
        return fields

    def value(self, ttype: int, in_struct: bool = False) -> Any:
        if ttype in (_TRUE, _FALSE):
            return ttype == _TRUE if in_struct else self._byte() == _TRUE
        if ttype == _BYTE:
            return self._byte()
        if ttype in (_I16, _I32, _I64):
            return self._zigzag()
        if ttype == _DOUBLE:
            self._at += 8
            return self._data[self._at - 8 : self._at]
        if ttype == _BINARY:
            size = self._varint()
            self._at += size
            return self._data[self._at - size : self._at]
        if ttype in (_LIST, _SET):
            header = self._byte()
            size = header >> 4 if header >> 4 != 15 else self._varint()
            return (header & 0x0F, [self.value(header & 0x0F) for _ in range(size)])
        if ttype == _STRUCT:
            return self.struct()
        raise FooterError(f"Thrift type {ttype} not expected in a Parquet footer")


class _Encoder:
    def __init__(self) -> None:
        self._out = bytearray()

    def _varint(self, value: int) -> None:
        while value >= 0x80:
            self._out.append(value & 0x7F | 0x80)
            value >>= 7
        self._out.append(value)

    def _zigzag(self, value: int) -> None:
        self._varint((value << 1) ^ (value >> 63))

    def struct(self, fields: list[Any]) -> bytes:
        last = 0
        for fid, ttype, value in fields:
            if ttype in (_TRUE, _FALSE):
                ttype = _TRUE if value else _FALSE
            if 0 < fid - last <= 15:
                self._out.append((fid - last) << 4 | ttype)
            else:
                self._out.append(ttype)
                self._zigzag(fid)
            last = fid
            if ttype not in (_TRUE, _FALSE):
                self.value(ttype, value)
        self._out.append(_STOP)
        return bytes(self._out)

    def value(self, ttype: int, value: Any) -> None:
        if ttype in (_TRUE, _FALSE):
            self._out.append(_TRUE if value else _FALSE)
        elif ttype == _BYTE:
            self._out.append(value)
        elif ttype in (_I16, _I32, _I64):
            self._zigzag(value)
        elif ttype in (_DOUBLE, _BINARY):
            if ttype == _BINARY:
                self._varint(len(value))
            self._out += value
        elif ttype in (_LIST, _SET):
            element, values = value
            if len(values) < 15:
                self._out.append(len(values) << 4 | element)
            else:
                self._out.append(0xF0 | element)
                self._varint(len(values))
            for item in values:
                self.value(element, item)
        else:
            self.struct(value)
