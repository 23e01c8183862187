"""The digests a minute-bar job's line in the version keeps of its file's last records
(`corvane.history.layout.tail_digest`), taken while the job holds the file."""
import struct
import zlib

from corvane.formats import DATA, INDEX, INDEX_DTYPE
from corvane.history.layout import tail_digest

__all__ = ["minbar_tails"]

# The index's record, date and line_no (INDEX_DTYPE): packed little-endian.
_INDEX_RECORD = struct.Struct("<iI")


def minbar_tails(h5, after, appended):
    """{"data_tail", "index_tail"}: the digests of the file's last bar and index records.

    Those of an append come from the records appended (index, data), as the
    engine stores them (the index's line_no offset by the rows before them,
    `after` holding the rows after): no chunk is read back.  Otherwise they
    are read from the open file `h5`.
    """
    if appended is None:
        return {"data_tail": tail_digest(h5.read_last(DATA)), "index_tail": tail_digest(h5.read_last(INDEX))}
    index, data = appended
    # A record's digest is that of its bytes: the last row's, as they are.
    return {"data_tail": _digest(data[-1:].tobytes()), "index_tail": _index_tail(index, after.rows - len(data))}


def _index_tail(index, offset):
    """The digest of the index's last record as the engine stores it, its line_no offset by `offset`."""
    if index.dtype == INDEX_DTYPE:
        date, line_no = _INDEX_RECORD.unpack(index[-1:].tobytes())
        if 0 <= line_no + offset < 1 << 32:
            return _digest(_INDEX_RECORD.pack(date, line_no + offset))
    last = index[-1:].copy()
    last["line_no"] += offset
    return tail_digest(last[0])


def _digest(record_bytes):
    """tail_digest of the record whose bytes are `record_bytes`."""
    return "{:08x}".format(zlib.crc32(record_bytes))
