"""A small, independent reader of UDF volume structures for the
interoperability suite.

It finds, the way a UDF reader would (ECMA-167 parts 3 and 4, OSTA UDF), the
volume's block size and anchor, the descriptors that carry the volume label
(the Primary, Implementation Use and Logical Volume Descriptors of both volume
descriptor sequences and the File Set Descriptor copies) and, on a virtual
partition, the Virtual Allocation Table's Logical Volume Identifier, and so
tells which blocks a relabel may change. It follows physical, sparable,
virtual and metadata partitions and trusts only descriptors whose tags
verify. It shares no code with the tool.
"""

import os
import struct

SECTOR = 2048  # the size of a volume recognition descriptor
BLOCK_SIZES = (512, 1024, 2048, 4096, 8192, 16384, 32768)

TAG_PVD, TAG_AVDP, TAG_VDP, TAG_IUVD, TAG_PD, TAG_LVD, TAG_USD, TAG_TD = 1, 2, 3, 4, 5, 6, 7, 8
TAG_SPARING = 0
TAG_FSD, TAG_FE, TAG_EAHD, TAG_EFE = 256, 261, 262, 266
# Tags a volume descriptor sequence walk passes over; any other ends it.
SEQUENCE_TAGS = (TAG_PVD, TAG_IUVD, TAG_PD, TAG_LVD, TAG_USD)

# Where the File Set Descriptor lies, as far as a relabel is concerned.
PHYSICAL = "physical"
METADATA = "metadata"
VIRTUAL = "virtual"
SPARABLE = "sparable"
UNSUPPORTED = "unsupported"

FILE_TYPE_VAT = 248
UNUSED_SPARING_ENTRY = 0xFFFFFFF0
VAT_UNMAPPED = 0xFFFFFFFF


def _crc_table():
    table = []
    for byte in range(256):
        crc = byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else (crc << 1)
        table.append(crc & 0xFFFF)
    return table


CRC_TABLE = _crc_table()


def crc16(data):
    """CRC-16 with polynomial 0x1021, initial value 0 (ECMA-167 3/7.2.6)."""
    crc = 0
    for byte in data:
        crc = ((crc << 8) & 0xFFFF) ^ CRC_TABLE[(crc >> 8) ^ byte]
    return crc


def u16(data, offset):
    return struct.unpack_from("<H", data, offset)[0]


def u32(data, offset):
    return struct.unpack_from("<I", data, offset)[0]


def tag_identifier(descriptor):
    return u16(descriptor, 0)


def tag_problems(descriptor, location=None, crc_limit=None):
    """What is wrong with a descriptor tag: an empty list when its checksum
    is right, its CRC length stays within `crc_limit` (the descriptor's size
    less the tag, by default), the CRC over that length is right and, when
    `location` is given, its Tag Location equals it."""
    problems = []
    checksum = (sum(descriptor[0:4]) + sum(descriptor[5:16])) & 0xFF
    if checksum != descriptor[4]:
        problems.append("tag checksum %d, expected %d" % (descriptor[4], checksum))
    crc, crc_length = struct.unpack_from("<HH", descriptor, 8)
    if crc_limit is None:
        crc_limit = len(descriptor) - 16
    if crc_length > crc_limit:
        problems.append("CRC length %d beyond %d" % (crc_length, crc_limit))
    elif crc16(descriptor[16:16 + crc_length]) != crc:
        problems.append("descriptor CRC %#06x, expected %#06x"
                        % (crc, crc16(descriptor[16:16 + crc_length])))
    if location is not None and u32(descriptor, 12) != location:
        problems.append("tag location %d, expected %d" % (u32(descriptor, 12), location))
    return problems


def verifies(descriptor, location):
    return not tag_problems(descriptor, location)


def regid_is(field, identifier):
    """Whether a regid's 23 identifier bytes are `identifier` padded with
    zeros (its flags and suffix are not looked at)."""
    return field[1:24] == identifier.encode("latin-1").ljust(23, b"\0")


def dstring(field):
    """Decodes a d-string (ECMA-167 1/7.2.12) of OSTA Compressed Unicode."""
    length = field[-1]
    if length == 0:
        return ""
    body = field[1:min(length, len(field) - 1)]
    if field[0] == 8:
        return body.decode("latin-1")
    if field[0] == 16:
        return body[:len(body) // 2 * 2].decode("utf-16-be")
    return ""


def cut_label(label, field_size):
    """The label as a d-string of `field_size` bytes holds it: one byte per
    character when every character fits in 8 bits, else two."""
    if any(ord(c) > 0xFFFF for c in label):
        raise ValueError("labels here stay within the Basic Multilingual Plane")
    wide = any(ord(c) > 0xFF for c in label)
    return label[:(field_size - 2) // 2 if wide else field_size - 2]


class Image:
    """Reads blocks of an image file; short reads are padded with zeros."""

    def __init__(self, path, block_size=SECTOR):
        self.path = path
        self.block_size = block_size
        self.file = open(path, "rb")
        self.size = os.fstat(self.file.fileno()).st_size

    def close(self):
        self.file.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def read(self, offset, length):
        self.file.seek(offset)
        data = self.file.read(length)
        return data + bytes(length - len(data))

    def block(self, n):
        return self.read(n * self.block_size, self.block_size)

    # Kept for callers that count in blocks of the volume.
    sector = block


def recognition(image, block_size):
    """The NSR identifiers the Volume Recognition Sequence holds when its ten
    2048-byte descriptors are read at 32768 + k * max(B, 2048); None when the
    image ends before the tenth. A structure version of 0 ends the scan."""
    stride = max(block_size, SECTOR)
    if image.size < 32768 + 9 * stride + SECTOR:
        return None
    found = set()
    for k in range(10):
        descriptor = image.read(32768 + k * stride, SECTOR)
        if descriptor[6] == 0:
            break
        identifier = descriptor[1:6].decode("latin-1")
        if identifier in ("NSR02", "NSR03"):
            found.add(identifier)
    return found


def find_anchor(image, block_size):
    """The block of the first verified anchor at 256, 512, N - 256, N - 1."""
    count = image.size // block_size
    for n in (256, 512, count - 256, count - 1):
        if 0 <= n < count:
            anchor = image.read(n * block_size, block_size)
            if tag_identifier(anchor) == TAG_AVDP and verifies(anchor, n):
                return n
    return None


def detect_geometry(image):
    """(block size, NSR identifiers, anchor block) of the smallest block size
    whose recognition sequence holds NSR02 or NSR03 and that has a verified
    anchor; None when no block size qualifies."""
    for block_size in BLOCK_SIZES:
        nsr = recognition(image, block_size)
        if not nsr:
            continue
        anchor = find_anchor(image, block_size)
        if anchor is not None:
            return block_size, nsr, anchor
    return None


def walk_sequence(image, location, length):
    """The descriptors of one volume descriptor sequence, in order, as
    (block, tag identifier, bytes, verified), up to the first block whose tag
    identifier is none that a sequence walk passes over."""
    descriptors = []
    for n in range(location, location + length // image.block_size):
        descriptor = image.block(n)
        tag = tag_identifier(descriptor)
        if tag not in SEQUENCE_TAGS:
            break
        descriptors.append((n, tag, descriptor, verifies(descriptor, n)))
    return descriptors


def partition_maps(lvd):
    """The Logical Volume Descriptor's partition maps as dictionaries."""
    count = u32(lvd, 268)
    maps = []
    position = 440
    for _ in range(count):
        if position + 2 > len(lvd):
            break
        map_type, map_length = lvd[position], lvd[position + 1]
        field = lvd[position:position + map_length]
        if map_type == 1 and len(field) >= 6:
            maps.append({"kind": PHYSICAL, "number": u16(field, 4)})
        elif map_type == 2 and len(field) >= 40:
            identifier = field[5:28].rstrip(b"\0").decode("latin-1")
            entry = {"kind": UNSUPPORTED, "number": u16(field, 38), "identifier": identifier}
            if identifier == "*UDF Metadata Partition" and len(field) >= 48:
                entry.update(kind=METADATA, file=u32(field, 40), mirror=u32(field, 44))
            elif identifier == "*UDF Virtual Partition":
                entry["kind"] = VIRTUAL
            elif identifier == "*UDF Sparable Partition" and len(field) >= 48:
                tables = []
                for i in range(field[42]):
                    if 48 + 4 * i + 4 > len(field):
                        break
                    tables.append(u32(field, 48 + 4 * i))
                entry.update(kind=SPARABLE, packet=u16(field, 40), table_size=u32(field, 44),
                             tables=tables)
            maps.append(entry)
        else:
            maps.append({"kind": UNSUPPORTED, "number": None})
        if map_length == 0:
            break
        position += map_length
    return maps


def sparing_entries(image, entry):
    """The (original, mapped) entries of the first sparing table of a
    sparable map that verifies; None when none does."""
    for location in entry["tables"]:
        head = image.block(location)
        declared = entry["table_size"]
        crc_length = u16(head, 10)
        if declared < 56 or declared < 16 + crc_length:
            continue
        table = image.read(location * image.block_size, declared)
        if (tag_identifier(table) != TAG_SPARING or not regid_is(table[16:48], "*UDF Sparing Table")
                or tag_problems(table, location, declared - 16)):
            continue
        count = min(u16(table, 48), (declared - 56) // 8)
        return [struct.unpack_from("<II", table, 56 + 8 * i) for i in range(count)]
    return None


def file_entry_fields(entry):
    """(information length, allocation descriptor type, extended attribute
    area offset, its length, allocation descriptor area offset, its length)
    of a File Entry or Extended File Entry."""
    if tag_identifier(entry) == TAG_FE:
        ea_offset = 176
        ea_length, ad_length = struct.unpack_from("<II", entry, 168)
    else:
        ea_offset = 216
        ea_length, ad_length = struct.unpack_from("<II", entry, 208)
    return (struct.unpack_from("<Q", entry, 56)[0], u16(entry, 34) & 7, ea_offset, ea_length,
            ea_offset + ea_length, ad_length)


def file_pieces(image, entry, entry_block, partition_start, limit=None):
    """Where the data of a File Entry lies: a list of (absolute block, offset
    in that block, length), covering at most `limit` bytes (its Information
    Length by default); recorded extents only, in the partition starting at
    `partition_start`. None for an allocation type it cannot follow."""
    info_length, ad_type, _, _, area, ad_length = file_entry_fields(entry)
    wanted = info_length if limit is None else min(limit, info_length)
    if area + ad_length > len(entry):
        return None
    if ad_type == 3:
        return [(entry_block, area, min(wanted, ad_length))]
    size = {0: 8, 1: 16}.get(ad_type)
    if size is None:
        return None
    pieces = []
    for offset in range(area, area + ad_length - size + 1, size):
        length = u32(entry, offset) & 0x3FFFFFFF
        extent_type = u32(entry, offset) >> 30
        if length == 0:
            break
        if extent_type != 0:
            continue
        first = partition_start + u32(entry, offset + 4)
        for i in range(0, length, image.block_size):
            if wanted <= 0:
                return pieces
            piece = min(image.block_size, length - i, wanted)
            pieces.append((first + i // image.block_size, 0, piece))
            wanted -= piece
    return pieces


def read_pieces(image, pieces):
    return b"".join(image.block(n)[offset:offset + length] for n, offset, length in pieces)


def locate(pieces, data_offset, length):
    """(block, offset in it) of `length` bytes at `data_offset` of a file's
    data when they all lie inside one block; None otherwise."""
    position = 0
    for n, offset, size in pieces:
        if position <= data_offset and data_offset + length <= position + size:
            return n, offset + data_offset - position
        position += size
    return None


def file_extents(image, block, partition_start):
    """The blocks of the data of the (Extended) File Entry at absolute
    `block`, in order; none for a missing entry."""
    entry = image.block(block)
    if tag_identifier(entry) not in (TAG_FE, TAG_EFE):
        return None
    pieces = file_pieces(image, entry, block, partition_start, 1 << 62)
    if pieces is None:
        return None
    blocks = []
    for n, _, _ in pieces:
        if n not in blocks:
            blocks.append(n)
    return blocks


def last_data_block(path, block_size):
    """The last whole block of the image that holds a non-zero byte, found
    through its data ranges; None for an image of zeros."""
    whole = os.path.getsize(path) // block_size
    with open(path, "rb") as f:
        for start, end in reversed(data_ranges(path)):
            for n in range(min(-(-end // block_size), whole) - 1, start // block_size - 1, -1):
                f.seek(n * block_size)
                if f.read(block_size).strip(b"\0"):
                    return n
    return None


def extended_attribute_offset(entry, identifier):
    """The offset in the entry of the first implementation use extended
    attribute of type 2048 named `identifier`; None without one."""
    _, _, ea_offset, ea_length, _, _ = file_entry_fields(entry)
    area = entry[ea_offset:min(ea_offset + ea_length, len(entry))]
    if len(area) < 24 or tag_identifier(area) != TAG_EAHD:
        return None
    position = u32(area, 16)
    while position + 48 <= len(area):
        attribute_type, attribute_length = u32(area, position), u32(area, position + 8)
        if attribute_type == 2048 and regid_is(area[position + 16:position + 48], identifier):
            return ea_offset + position
        if attribute_length == 0:
            break
        position += attribute_length
    return None


class Volume:
    """The label-carrying structure of a UDF volume."""

    def __init__(self, path):
        self.path = path
        with Image(path) as probe:
            geometry = detect_geometry(probe)
        if geometry is None:
            raise ValueError("%s: no block size with a recognition sequence and an anchor" % path)
        self.block_size, self.nsr, self.anchor = geometry
        with Image(path, self.block_size) as image:
            anchor = image.block(self.anchor)
            main_length, main_location, reserve_length, reserve_location = \
                struct.unpack_from("<IIII", anchor, 16)
            self.main = walk_sequence(image, main_location, main_length)
            self.reserve = walk_sequence(image, reserve_location, reserve_length)
            self._find_partitions()
            self._find_file_set(image)

    def verified(self, sequence, tag):
        return [d for d in sequence if d[1] == tag and d[3]]

    def label_descriptor_blocks(self):
        """Blocks of the verified volume descriptors whose identifiers a
        relabel rewrites: every PVD and LVD, and each IUVD that holds the
        UDF logical volume information (Implementation Identifier
        "*UDF LV Info")."""
        blocks = []
        for n, tag, descriptor, verified in self.main + self.reserve:
            if not verified:
                continue
            if tag in (TAG_PVD, TAG_LVD) or (
                    tag == TAG_IUVD and regid_is(descriptor[20:52], "*UDF LV Info")):
                blocks.append(n)
        return blocks

    label_descriptor_sectors = label_descriptor_blocks

    def _find_partitions(self):
        lvds = self.verified(self.main, TAG_LVD) or self.verified(self.reserve, TAG_LVD)[:1]
        if not lvds:
            raise ValueError("%s: no verified Logical Volume Descriptor" % self.path)
        self.lvd = lvds[0][2]
        self.maps = partition_maps(self.lvd)
        self.starts = {}
        for sequence in (self.main, self.reserve):
            found = {}
            for _, _, descriptor, _ in self.verified(sequence, TAG_PD):
                found.setdefault(u16(descriptor, 22), u32(descriptor, 188))
            for number, start in found.items():
                self.starts.setdefault(number, start)

    def _absolute(self, image, reference, block):
        """The absolute block of logical block `block` of the partition
        `reference` refers to; None where it maps nowhere."""
        if reference >= len(self.maps):
            return None
        entry = self.maps[reference]
        start = self.starts.get(entry["number"])
        if start is None:
            return None
        if entry["kind"] == PHYSICAL:
            return start + block
        if entry["kind"] == SPARABLE:
            table = self.sparing_table
            if table is None:
                self.sparing_table = table = sparing_entries(image, entry) or []
            packet = entry["packet"]
            if packet:
                original = block - block % packet
                for old, new in table:
                    if old == original and old < UNUSED_SPARING_ENTRY:
                        return new + block - old
            return start + block
        if entry["kind"] == VIRTUAL:
            return self._virtual(image, entry, start, block)
        return None

    def _find_vat(self, image, start):
        """Sets vat_block, vat_tag_location, vat_form ("2.00" or "1.50"),
        vat_pieces and vat_data from the Virtual Allocation Table's File
        Entry, which lies in the physical partition starting at `start`."""
        last = last_data_block(self.path, self.block_size)
        for n in ([] if last is None else range(last, max(last - 4, -1), -1)):
            entry = image.block(n)
            if tag_identifier(entry) not in (TAG_FE, TAG_EFE) or not verifies(entry, n - start):
                continue
            pieces = file_pieces(image, entry, n, start)
            if pieces is None:
                continue
            data = read_pieces(image, pieces)
            if entry[27] == FILE_TYPE_VAT:
                form = "2.00"
            elif len(data) >= 36 and regid_is(data[-36:-4], "*UDF Virtual Alloc Tbl"):
                form = "1.50"
            else:
                continue
            self.vat_block, self.vat_tag_location = n, n - start
            self.vat_form, self.vat_pieces, self.vat_data = form, pieces, data
            return

    def _virtual(self, image, entry, start, block):
        if self.vat_block is None:
            self._find_vat(image, start)
            if self.vat_block is None:
                return None
        data = self.vat_data
        if self.vat_form == "2.00":
            offset, end = u16(data, 0) + 4 * block, len(data)
        else:
            offset, end = 4 * block, len(data) - 36
        if offset + 4 > end or u32(data, offset) == VAT_UNMAPPED:
            return None
        physical = [m for m in self.maps if m["kind"] == PHYSICAL and m["number"] == entry["number"]]
        return None if not physical else start + u32(data, offset)

    def _vat_label(self, image):
        """(block, offset in it) of the VAT's Logical Volume Identifier; None
        when it has none a relabel rewrites."""
        if self.vat_form == "2.00":
            return locate(self.vat_pieces, 4, 128)
        entry = image.block(self.vat_block)
        attribute = extended_attribute_offset(entry, "*UDF VAT LVExtension")
        return None if attribute is None else (self.vat_block, attribute + 48 + 18)

    def _find_file_set(self, image):
        length, block, reference = struct.unpack_from("<IIH", self.lvd, 248)
        self.fsd_block = block
        self.fsd_sectors = []
        self.fsd_mirror_sectors = []
        self.sparing_table = None
        self.vat_block = self.vat_form = self.vat_label = None
        entry = self.maps[reference] if reference < len(self.maps) else {"kind": UNSUPPORTED}
        self.path_kind = entry["kind"]
        if entry["kind"] == METADATA:
            start = self.starts.get(entry["number"], 0)
            main = file_extents(image, start + entry["file"], start) or []
            mirror = file_extents(image, start + entry["mirror"], start) or []
            candidates = main[block:block + 1] + [s for s in mirror[block:block + 1] if s not in main[block:block + 1]]
        else:
            candidates = [self._absolute(image, reference, block)]
        for i, n in enumerate(candidates):
            if n is None:
                continue
            fsd = image.block(n)
            if tag_identifier(fsd) == TAG_FSD and verifies(fsd, block):
                (self.fsd_sectors if i == 0 else self.fsd_mirror_sectors).append(n)
        if self.vat_block is not None:
            self.vat_label = self._vat_label(image)

    def label(self):
        """The label a query shows: the Logical Volume Identifier of the
        first File Set Descriptor copy that verifies, else that of the first
        verified Logical Volume Descriptor, else empty."""
        with Image(self.path, self.block_size) as image:
            for n in self.fsd_sectors + self.fsd_mirror_sectors:
                return dstring(image.block(n)[112:240])
        return dstring(self.lvd[84:212])

    def expected_changes(self):
        """Every block a relabel rewrites, sorted."""
        vat = [self.vat_label[0]] if self.vat_label else []
        return sorted(set(self.label_descriptor_blocks() + self.fsd_sectors
                          + self.fsd_mirror_sectors + vat))


def data_ranges(path):
    """The byte ranges of a file that hold data (not holes), as (start, end)."""
    ranges = []
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        position = 0
        while position < size:
            try:
                start = os.lseek(f.fileno(), position, os.SEEK_DATA)
            except OSError:
                break
            end = os.lseek(f.fileno(), start, os.SEEK_HOLE)
            ranges.append((start, end))
            position = end
    return ranges


def changed_sectors(before, after, block_size=SECTOR):
    """Blocks in which two images of the same size differ, reading only the
    parts of either file that hold data."""
    if os.path.getsize(before) != os.path.getsize(after):
        raise ValueError("%s and %s differ in size" % (before, after))
    spans = sorted(data_ranges(before) + data_ranges(after))
    changed = []
    with open(before, "rb") as a, open(after, "rb") as b:
        covered = 0
        for start, end in spans:
            start = max(start - start % block_size, covered)
            while start < end:
                a.seek(start)
                b.seek(start)
                length = min(end - start, 1 << 20)
                length += -length % block_size
                chunk_a, chunk_b = a.read(length), b.read(length)
                if chunk_a != chunk_b:
                    for offset in range(0, len(chunk_a), block_size):
                        if chunk_a[offset:offset + block_size] != chunk_b[offset:offset + block_size]:
                            changed.append((start + offset) // block_size)
                start += length
                covered = start
    return changed
