#!/usr/bin/python3
"""Writes damaged .xls files into the folder given as the only argument, with
the undamaged original beside them: OLE2 containers damaged around an intact
workbook stream (or one cut only at its end), and workbook streams damaged
inside an intact container. Also used to seed the .xls fuzz targets.

Every file holds a sheet "Data" whose column A reads "row 0", "row 1", ...;
some a second sheet "Two" whose column A reads "Two 0", "Two 1", ...
"""
import os
import struct
import sys

SECTOR = 512
END, FREE, FATSECT = 0xFFFFFFFE, 0xFFFFFFFF, 0xFFFFFFFD
ROWS_BIG, ROWS_SMALL = 400, 40


def rec(rid, body):
    return struct.pack("<HH", rid, len(body)) + body


def bof(kind):
    return rec(0x0809, struct.pack("<HHHHII", 0x0600, kind, 0x0DBB, 0x07CC, 0, 6))


def workbook_stream(rows, sheets=("Data",), globals_tail=b""):
    """A BIFF8 workbook: globals naming the sheets (then `globals_tail`, any
    extra records), each sheet's LABEL cells. The first sheet's column A reads
    "row 0", "row 1", ...; a later sheet's "<its name> 0", ..."""
    glob = bof(0x0005) + rec(0x0042, struct.pack("<H", 1200))
    offsets_at = []
    for name in sheets:
        offsets_at.append(len(glob) + 4)
        encoded = name.encode("latin-1")
        glob += rec(0x0085, struct.pack("<IBBBB", 0, 0, 0, len(encoded), 0) + encoded)
    glob += globals_tail + rec(0x000A, b"")
    data = bytearray(glob)
    for i, name in enumerate(sheets):
        struct.pack_into("<I", data, offsets_at[i], len(data))
        data += bof(0x0010) + rec(0x0200, struct.pack("<IIHHH", 0, rows, 0, 1, 0))
        for r in range(rows):
            text = b"%s %d" % (b"row" if i == 0 else name.encode("latin-1"), r)
            data += rec(0x0204, struct.pack("<HHHHB", r, 0, 15, len(text), 0) + text)
        data += rec(0x000A, b"")
    return bytes(data)


def dir_entry(name, kind, child=FREE, start=END, size=0, left=FREE, right=FREE):
    encoded = name.encode("utf-16-le") + b"\0\0" if name else b""
    return struct.pack("<64sHBBIII16sI8s8sIQ", encoded.ljust(64, b"\0"), len(encoded), kind, 1,
                       left, right, child, b"\0" * 16, 0, b"\0" * 8, b"\0" * 8, start, size)


def workbook_entry(compound, **links):
    return dir_entry("Workbook", 2, start=compound.start["stream"], size=len(compound.stream), **links)


def chunks(data, size):
    return [data[i:i + size].ljust(size, b"\0") for i in range(0, len(data), size)] or [b"\0" * size]


class Compound:
    """A version 3 compound file with one stream, its sectors laid out in the
    order given; `fat`, `difat`, `first_dir`, the directory's four `entries`
    and the header fields stay editable until bytes() so each damage can be
    made on top."""

    def __init__(self, stream, order=("fat", "dir", "stream"), name="Workbook"):
        self.stream = stream
        self.mini = len(stream) < 4096
        payload = {}
        if self.mini:
            mini_units = chunks(stream, 64)
            minifat = [i + 1 for i in range(len(mini_units))]
            minifat[-1] = END
            payload["ministream"] = b"".join(mini_units)
            payload["minifat"] = b"".join(struct.pack("<I", v) for v in minifat)
        else:
            payload["stream"] = stream
        kinds = []
        for kind in order:
            if kind != "stream":
                kinds.append(kind)
            else:
                kinds += ["minifat", "ministream"] if self.mini else ["stream"]
        self.sectors = []
        self.start = {}
        for kind in kinds:
            if kind == "fat":
                self.start["fat"] = len(self.sectors)
                self.sectors.append(None)  # filled in below
                continue
            if kind == "dir":
                self.start["dir"] = len(self.sectors)
                self.sectors.append(None)
                continue
            self.start[kind] = len(self.sectors)
            self.sectors.extend(chunks(payload[kind], SECTOR))
        self.fat = [FREE] * 128
        for kind in kinds:
            if kind in ("fat", "dir"):
                continue
            first = self.start[kind]
            count = len(chunks(payload[kind], SECTOR))
            for i in range(first, first + count - 1):
                self.fat[i] = i + 1
            self.fat[first + count - 1] = END
        self.fat[self.start["fat"]] = FATSECT
        self.fat[self.start["dir"]] = END
        root = dir_entry("Root Entry", 5, child=1,
                         start=self.start.get("ministream", END),
                         size=len(payload.get("ministream", b"")))
        entry = dir_entry(name, 2, start=0 if self.mini else self.start["stream"], size=len(stream))
        self.entries = [root, entry, dir_entry("", 0), dir_entry("", 0)]
        self.fat_count = 1
        self.dir_count = 0
        self.first_dir = self.start["dir"]
        self.difat = [self.start["fat"]] + [FREE] * 108

    def bytes(self):
        header = b"\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1" + b"\0" * 16
        header += struct.pack("<HHHHH6sIIIIIIIII", 0x3E, 3, 0xFFFE, 9, 6, b"\0" * 6, self.dir_count,
                              self.fat_count, self.first_dir, 0, 4096,
                              self.start.get("minifat", END), 1 if self.mini else 0, END, 0)
        header += b"".join(struct.pack("<I", v) for v in self.difat)
        sectors = list(self.sectors)
        sectors[self.start["fat"]] = b"".join(struct.pack("<I", v) for v in self.fat)
        sectors[self.start["dir"]] = b"".join(self.entries)
        return header + b"".join(sectors)


def damaged(big, small):
    """name -> file bytes, each a damage over an intact workbook stream."""
    out = {}
    good = Compound(big)
    out["good.xls"] = good.bytes()

    # The file ends inside its last sector: the stream's tail is gone.
    c = Compound(big, order=("fat", "dir", "stream"))
    out["cut_last_sector.xls"] = c.bytes()[:-400]

    # The header counts FAT sectors the file does not hold.
    c = Compound(big)
    c.fat_count = 40
    c.difat = [c.start["fat"]] + [5000 + i for i in range(39)] + [FREE] * 69
    out["fat_count_past_end.xls"] = c.bytes()

    # The header counts directory sectors the file does not hold.
    c = Compound(big)
    c.dir_count = 60
    out["dir_count_past_end.xls"] = c.bytes()

    # The directory chain runs past the end of the file.
    c = Compound(big)
    c.fat[c.start["dir"]] = 9999
    out["dir_chain_past_end.xls"] = c.bytes()

    # The stream's eighth sector links back to its second: a loop that
    # leaves the chain shorter than the stream.
    c = Compound(big)
    c.fat[c.start["stream"] + 7] = c.start["stream"] + 1
    out["fat_loop.xls"] = c.bytes()

    # A small workbook in the mini stream, the directory linking to itself
    # and the mini FAT looping after five units.
    c = Compound(small)
    c.fat[c.start["dir"]] = c.start["dir"]
    minifat = bytearray(c.sectors[c.start["minifat"]])
    struct.pack_into("<I", minifat, 4 * 4, 2)
    c.sectors[c.start["minifat"]] = bytes(minifat)
    out["mini_fat_loop.xls"] = c.bytes()

    # An intact container whose stream's last record is cut short.
    out["records_cut_short.xls"] = Compound(big[:-7]).bytes()

    # Nothing to salvage: the directory lies past the end of the file.
    c = Compound(big)
    c.first_dir = 7777
    out["no_directory.xls"] = c.bytes()

    # The directory's chain links its one sector to itself.
    c = Compound(big)
    c.fat[c.start["dir"]] = c.start["dir"]
    out["dir_loop.xls"] = c.bytes()

    # The chain of the mini FAT's own sectors loops.
    c = Compound(small)
    c.fat[c.start["minifat"]] = c.start["minifat"]
    out["mini_fat_chain_loop.xls"] = c.bytes()

    # The mini stream's second sector links back to its first.
    c = Compound(small)
    c.fat[c.start["ministream"] + 1] = c.start["ministream"]
    out["mini_stream_loop.xls"] = c.bytes()

    # The tree of the root's children has a cycle: the workbook's left
    # sibling has the workbook as its own left sibling.
    c = Compound(big)
    c.entries[1] = workbook_entry(c, left=2)
    c.entries[2] = dir_entry("A", 2, left=1)
    out["tree_cycle.xls"] = c.bytes()

    # A storage beside the workbook whose child points back to the workbook.
    c = Compound(big)
    c.entries[1] = workbook_entry(c, left=2)
    c.entries[2] = dir_entry("Sub", 1, child=1)
    out["tree_child_points_back.xls"] = c.bytes()

    # The workbook's sectors are a second stream's too.
    c = Compound(big)
    c.entries[1] = workbook_entry(c, right=2)
    c.entries[2] = dir_entry("Extra", 2, start=c.start["stream"], size=len(big))
    out["shared_sectors.xls"] = c.bytes()

    # The root's child is an entry of no known type (here unused, 0) with the
    # workbook as its right sibling: libgsf drops what lies beyond it.
    c = Compound(big)
    c.entries[0] = dir_entry("Root Entry", 5, child=2)
    c.entries[2] = dir_entry("A", 0, right=1)
    out["tree_hidden_by_unused_entry.xls"] = c.bytes()

    # The same with a type no writer uses, whose left sibling links back to it.
    c = Compound(big)
    c.entries[0] = dir_entry("Root Entry", 5, child=2)
    c.entries[2] = dir_entry("A", 7, left=3, right=1)
    c.entries[3] = dir_entry("B", 2, left=2)
    out["tree_hidden_by_unknown_type.xls"] = c.bytes()

    # No workbook among the root's children: only inside a storage, as a
    # workbook embedded in another document is.
    c = Compound(big)
    c.entries[0] = dir_entry("Root Entry", 5, child=2)
    c.entries[2] = dir_entry("Sub", 1, child=1)
    out["embedded_workbook.xls"] = c.bytes()
    return out


def stream_damaged():
    """name -> file bytes, each a damage to the workbook stream inside an
    intact container."""
    out = {}
    one = workbook_stream(ROWS_BIG)
    two = workbook_stream(ROWS_BIG, sheets=("Data", "Two"))

    # Bytes of junk before the BOF: the sheet offsets now fall 7 bytes short.
    out["junk_before_bof.xls"] = Compound(b"\x01\x02\x03junk" + two).bytes()

    # A record of another kind before the BOF.
    out["record_before_bof.xls"] = Compound(rec(0x00E1, b"\0\0") + one).bytes()

    # A BOF only after 5,000 bytes of nothing: not where the stream begins.
    out["bof_too_far.xls"] = Compound(b"\0" * 5000 + one).bytes()

    # The globals' last record (WINDOW1) says it runs 65,535 bytes on, past
    # the end of the stream; the sheets after it are intact.
    window = rec(0x003D, b"\0" * 18)
    with_window = workbook_stream(ROWS_BIG, sheets=("Data", "Two"), globals_tail=window)
    d = bytearray(with_window)
    struct.pack_into("<H", d, d.index(window) + 2, 0xFFFF)
    out["globals_record_past_end.xls"] = Compound(bytes(d)).bytes()

    # The stream ends inside that record: nothing after the sheet directory.
    out["globals_cut.xls"] = Compound(with_window[:with_window.index(window) + 10]).bytes()

    # The stream ends inside the first sheet's BOUNDSHEET: no sheet named.
    out["globals_cut_before_sheets.xls"] = Compound(with_window[:with_window.index(b"Data")]).bytes()

    # The first sheet's LABEL of row 100 says it runs past the end.
    d = bytearray(two)
    struct.pack_into("<H", d, d.index(b"row 100") - 11, 0xFFFF)
    out["sheet_record_past_end.xls"] = Compound(bytes(d)).bytes()
    return out


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    files = damaged(workbook_stream(ROWS_BIG), workbook_stream(ROWS_SMALL))
    files.update(stream_damaged())
    for name, data in files.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
