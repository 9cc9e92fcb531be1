"""A small, independent reader of UDF volume structures for the
interoperability suite.

It finds, the way a UDF reader would (ECMA-167 parts 3 and 4, OSTA UDF), the
descriptors that carry the volume label: the Primary, Implementation Use and
Logical Volume Descriptors of both volume descriptor sequences and the File
Set Descriptor copies, and so tells which sectors a relabel may change. It
shares no code with the tool.
"""

import os
import struct

SECTOR = 2048

TAG_PVD, TAG_AVDP, TAG_VDP, TAG_IUVD, TAG_PD, TAG_LVD, TAG_USD, TAG_TD = 1, 2, 3, 4, 5, 6, 7, 8
TAG_FSD, TAG_FE, TAG_EFE = 256, 261, 266

# Where the File Set Descriptor lies, as far as a relabel is concerned.
PHYSICAL = "physical"
METADATA = "metadata"
VIRTUAL = "virtual"
SPARABLE = "sparable"
NSR02_TWO_MAP = "nsr02-two-map"
UNSUPPORTED = "unsupported"


def crc16(data):
    """CRC-16 with polynomial 0x1021, initial value 0 (ECMA-167 3/7.2.6)."""
    crc = 0
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else (crc << 1)
        crc &= 0xFFFF
    return crc


def tag_identifier(descriptor):
    return struct.unpack_from("<H", descriptor, 0)[0]


def tag_problems(descriptor):
    """What is wrong with a descriptor tag: an empty list when its checksum
    and its CRC over the recorded length are right."""
    problems = []
    checksum = sum(descriptor[0:4]) + sum(descriptor[5:16])
    if checksum & 0xFF != descriptor[4]:
        problems.append("tag checksum %d, expected %d" % (descriptor[4], checksum & 0xFF))
    crc, crc_length = struct.unpack_from("<HH", descriptor, 8)
    if 16 + crc_length > len(descriptor):
        problems.append("CRC length %d runs past the sector" % crc_length)
    elif crc16(descriptor[16:16 + crc_length]) != crc:
        problems.append("descriptor CRC %#06x, expected %#06x"
                        % (crc, crc16(descriptor[16:16 + crc_length])))
    return problems


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
    """Reads sectors of an image file."""

    def __init__(self, path):
        self.path = path
        self.file = open(path, "rb")
        self.size = os.fstat(self.file.fileno()).st_size

    def close(self):
        self.file.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def sector(self, n):
        self.file.seek(n * SECTOR)
        data = self.file.read(SECTOR)
        return data + bytes(SECTOR - len(data))


def recognition(image):
    """The NSR identifiers of the Volume Recognition Sequence from sector 16,
    up to the first sector that holds no volume structure descriptor."""
    found = set()
    for n in range(16, 64):
        descriptor = image.sector(n)
        identifier = descriptor[1:6].decode("latin-1")
        if identifier not in ("BEA01", "TEA01", "NSR02", "NSR03", "CD001", "BOOT2", "CDW02"):
            break
        if identifier.startswith("NSR"):
            found.add(identifier)
    return found


def walk_sequence(image, location, length):
    """The descriptors of one volume descriptor sequence, in order, as
    (sector, tag identifier, bytes), up to its Terminating Descriptor or to
    the first sector without a valid tag."""
    descriptors = []
    for n in range(location, location + length // SECTOR):
        descriptor = image.sector(n)
        tag = tag_identifier(descriptor)
        if tag == 0 or tag > TAG_TD or tag_problems(descriptor):
            break
        descriptors.append((n, tag, descriptor))
        if tag == TAG_TD:
            break
    return descriptors


def partition_maps(lvd):
    """The Logical Volume Descriptor's partition maps as dictionaries."""
    count = struct.unpack_from("<I", lvd, 268)[0]
    maps = []
    position = 440
    for _ in range(count):
        if position + 2 > SECTOR:
            break
        map_type, map_length = lvd[position], lvd[position + 1]
        if map_type == 1:
            maps.append({"kind": PHYSICAL, "number": struct.unpack_from("<H", lvd, position + 4)[0]})
        elif map_type == 2:
            identifier = lvd[position + 5:position + 28].rstrip(b"\0").decode("latin-1")
            number = struct.unpack_from("<H", lvd, position + 38)[0]
            entry = {"kind": UNSUPPORTED, "number": number, "identifier": identifier}
            if identifier == "*UDF Metadata Partition":
                file_location, mirror_location = struct.unpack_from("<II", lvd, position + 40)
                entry.update(kind=METADATA, file=file_location, mirror=mirror_location)
            elif identifier == "*UDF Virtual Partition":
                entry["kind"] = VIRTUAL
            elif identifier == "*UDF Sparable Partition":
                entry["kind"] = SPARABLE
            maps.append(entry)
        else:
            maps.append({"kind": UNSUPPORTED, "number": 0})
        if map_length == 0:
            break
        position += map_length
    return maps


def file_extents(image, sector, partition_start):
    """The data extents of the (Extended) File Entry at `sector`, as lists of
    absolute sectors in order; none for a missing entry."""
    entry = image.sector(sector)
    tag = tag_identifier(entry)
    if tag == TAG_FE:
        ea_length, ad_length = struct.unpack_from("<II", entry, 168)
        area = 176 + ea_length
    elif tag == TAG_EFE:
        ea_length, ad_length = struct.unpack_from("<II", entry, 208)
        area = 216 + ea_length
    else:
        return None
    ad_type = struct.unpack_from("<H", entry, 34)[0] & 7
    size = {0: 8, 1: 16, 2: 20}.get(ad_type)
    if size is None:
        return None
    sectors = []
    for offset in range(area, min(area + ad_length, SECTOR) - size + 1, size):
        length = struct.unpack_from("<I", entry, offset)[0] & 0x3FFFFFFF
        location = struct.unpack_from("<I", entry, offset + (12 if ad_type == 2 else 4))[0]
        if length == 0:
            break
        first = partition_start + location
        sectors.extend(range(first, first + (length + SECTOR - 1) // SECTOR))
    return sectors


class Volume:
    """The label-carrying structure of a UDF volume."""

    def __init__(self, path):
        with Image(path) as image:
            self.nsr = recognition(image)
            anchor = image.sector(256)
            if tag_identifier(anchor) != TAG_AVDP:
                raise ValueError("%s: no anchor at sector 256" % path)
            main_length, main_location, reserve_length, reserve_location = \
                struct.unpack_from("<IIII", anchor, 16)
            self.main = walk_sequence(image, main_location, main_length)
            self.reserve = walk_sequence(image, reserve_location, reserve_length)
            self._find_file_set(image)

    def descriptors(self, tag):
        return [d for d in self.main + self.reserve if d[1] == tag]

    def label_descriptor_sectors(self):
        """Sectors of the volume descriptors whose identifiers a relabel
        rewrites: every PVD and LVD, and each IUVD that holds the UDF logical
        volume information (Implementation Identifier "*UDF LV Info"). In an
        NSR02 volume whose LVD has two partition maps the main sequence is
        followed no further than that LVD."""
        main = self.main
        if self.path_kind == NSR02_TWO_MAP:
            lvd_index = next(i for i, d in enumerate(main) if d[1] == TAG_LVD)
            main = main[:lvd_index + 1]
        sectors = []
        for n, tag, descriptor in main + self.reserve:
            if tag in (TAG_PVD, TAG_LVD):
                sectors.append(n)
            elif tag == TAG_IUVD and descriptor[21:33] == b"*UDF LV Info":
                sectors.append(n)
        return sectors

    def _find_file_set(self, image):
        lvds = self.descriptors(TAG_LVD)
        if not lvds:
            raise ValueError("no Logical Volume Descriptor")
        lvd = lvds[0][2]
        self.lvd = lvd
        self.maps = partition_maps(lvd)
        _, block, reference = struct.unpack_from("<IIH", lvd, 248)
        self.fsd_block = block
        self.fsd_sectors = []
        self.fsd_mirror_sectors = []
        starts = {}
        for _, _, descriptor in self.descriptors(TAG_PD):
            number, = struct.unpack_from("<H", descriptor, 22)
            starts.setdefault(number, struct.unpack_from("<I", descriptor, 188)[0])
        declared_maps = struct.unpack_from("<I", lvd, 268)[0]
        if "NSR02" in self.nsr and declared_maps == 2:
            # Such a volume's maps are not decoded: the File Set Descriptor's
            # block is taken as a sector, and only a label descriptor found
            # there is rewritten.
            self.path_kind = NSR02_TWO_MAP
            candidate = image.sector(block)
            tag = tag_identifier(candidate)
            if tag in (TAG_PVD, TAG_LVD, TAG_FSD) or (
                    tag == TAG_IUVD and candidate[21:33] == b"*UDF LV Info"):
                self.fsd_sectors = [block]
            return
        if reference >= len(self.maps):
            self.path_kind = UNSUPPORTED
            return
        entry = self.maps[reference]
        self.path_kind = entry["kind"]
        start = starts.get(entry["number"], 0)
        if entry["kind"] == PHYSICAL:
            self.fsd_sectors = [start + block]
        elif entry["kind"] == METADATA:
            main = file_extents(image, start + entry["file"], start) or []
            mirror = file_extents(image, start + entry["mirror"], start) or []
            self.fsd_sectors = main[block:block + 1]
            self.fsd_mirror_sectors = [s for s in mirror[block:block + 1] if s not in self.fsd_sectors]

    def expected_changes(self):
        """Every sector a relabel rewrites, sorted."""
        return sorted(set(self.label_descriptor_sectors() + self.fsd_sectors + self.fsd_mirror_sectors))


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


def changed_sectors(before, after):
    """Sectors in which two images of the same size differ, reading only the
    parts of either file that hold data."""
    if os.path.getsize(before) != os.path.getsize(after):
        raise ValueError("%s and %s differ in size" % (before, after))
    spans = sorted(data_ranges(before) + data_ranges(after))
    changed = []
    with open(before, "rb") as a, open(after, "rb") as b:
        covered = 0
        for start, end in spans:
            start = max(start - start % SECTOR, covered)
            while start < end:
                a.seek(start)
                b.seek(start)
                length = min(end - start, 1 << 20)
                length += -length % SECTOR
                chunk_a, chunk_b = a.read(length), b.read(length)
                if chunk_a != chunk_b:
                    for offset in range(0, len(chunk_a), SECTOR):
                        if chunk_a[offset:offset + SECTOR] != chunk_b[offset:offset + SECTOR]:
                            changed.append((start + offset) // SECTOR)
                start += length
                covered = start
    return changed
