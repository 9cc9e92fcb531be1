#!/usr/bin/python3
"""Interoperability suite: images made at test time by independent UDF
tools, relabelled by volquill, then read back by independent readers.

For every image of the table below it
- queries the label and checks it against the File Set Descriptor;
- relabels a fresh copy with an ASCII label longer than the 32-byte fields
  and with a label of characters above U+00FF;
- checks that udfinfo (given the VAT's block where it needs it) and blkid
  report the new label in the fields read from descriptors the relabel
  rewrites, and the old one in the others;
- checks that exactly the blocks of the label-carrying descriptors and of the
  Virtual Allocation Table's Logical Volume Identifier changed (found by an
  independent reader, udf_reader.py), that each of them verifies (tag
  checksum, CRC and tag location) and differs only in its identifier fields;
- checks that 7zz lists and extracts the same files with the same contents
  as before, where it opens the original at all;
- checks that the ISO 9660 volume identifier of a bridge image stays;
- where volquill shows and sets the whole identity (its --help lists --vid):
  that each identity key of the query equals udfinfo's in every session, and
  that each identity option changes only its field's copies and udfinfo's
  key, and reads in udfinfo as udflabel's result for the option does.

Run with /usr/bin/python3 (pycdlib is one of Debian's python packages):
    interop_test.py --binary build-test/volquill \\
        --sample-maker build-test/tests/make_sample_image [unittest options]

A missing tool skips the suite with a message, except with CI=true in the
environment, where it fails.
"""

import argparse
import functools
import hashlib
import io
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from collections import namedtuple

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import udf_reader as udf  # noqa: E402

BINARY = None
SAMPLE_MAKER = None

ASCII_LABEL = "Interoperability test label, longer than thirty bytes"
WIDE_LABEL = "Ünïcødé ☃ 日本"
LABELS = (ASCII_LABEL, WIDE_LABEL)

ENV = dict(os.environ, LC_ALL="C.UTF-8", PATH=os.environ.get("PATH", "") + ":/usr/sbin:/sbin")

# Command, Debian package.
TOOLS = {
    "mkudffs": "udftools",
    "udfinfo": "udftools",
    "udflabel": "udftools",
    "blkid": "util-linux",
    "genisoimage": "genisoimage",
    "7zz": "7zip",
    "newfs_udf": "udfclient",
    "iso-info": "libcdio-utils",
    "strace": "strace",
}

# One image: who makes it and how, the path the relabel takes to its File
# Set Descriptor, how many blocks it rewrites, whether 7zz opens it (without
# a warning), and the ISO 9660 volume identifier of a bridge image (None for
# pure UDF).
Case = namedtuple("Case", "name producer options path changed archive iso_volume")

# The fields each reader shows, and the descriptor each is read from when the
# relabel rewrites it ("LVD" and "PVD": always; "FSD": when the relabel
# reaches the File Set Descriptor). A field read from something the relabel
# does not rewrite keeps its old value. Under a Virtual Allocation Table
# udfinfo reads label and lvid from the VAT, which the relabel rewrites too.
READER_FIELDS = {
    "udfinfo label": "LVD",
    "udfinfo lvid": "LVD",
    "udfinfo vid": "PVD",
    "udfinfo fsid": "FSD",
    "blkid LABEL": "LVD",
    "blkid LOGICAL_VOLUME_ID": "LVD",
    "blkid VOLUME_ID": "PVD",
}
FIELD_SIZE = {"LVD": 128, "PVD": 32, "FSD": 32}

# Full medium sizes in bytes: an 80-minute CD, a single-layer DVD and a
# single-layer BD (360,000, 2,295,104 and 12,219,392 blocks of 2048 bytes).
CD_BYTES, DVD_BYTES, BD_BYTES = 737280000, 4706074624, 25025314816
ALL_REVISIONS = ("1.01", "1.02", "1.50", "2.00", "2.01", "2.50", "2.60")

# mkudffs media types: block sizes, image size, and the revisions it accepts.
# It refuses revisions above 2.01 for every type but the write-once ones
# ("not currently supported for specified media type"), below 1.50 for CD and
# DVD rewritable and write-once discs, and below 2.50 for BD-R.
MKUDFFS_MEDIA = {
    # Physical partition; small images, as on a hard disk or a USB stick.
    "hd": ((512, 1024, 2048, 4096), 4 << 20, ALL_REVISIONS[:5]),
    "dvd": ((512, 1024, 2048, 4096), 4 << 20, ALL_REVISIONS[:5]),
    "dvdram": ((512, 1024, 2048, 4096), 4 << 20, ALL_REVISIONS[:5]),
    "cd": ((512, 1024, 2048, 4096), 4 << 20, ALL_REVISIONS[:5]),
    # Sparable partition, its sparing tables near both ends of the medium.
    "dvdrw": ((512, 2048, 4096), DVD_BYTES, ALL_REVISIONS[2:5]),
    "cdrw": ((512, 2048, 4096), CD_BYTES, ALL_REVISIONS[2:5]),
    # Virtual partition: the VAT is the last block written, far before the
    # medium's end (UDF 1.50 is NSR02 with two partition maps).
    "dvdr": ((512, 2048, 4096), DVD_BYTES, ALL_REVISIONS[2:]),
    "cdr": ((512, 2048, 4096), CD_BYTES, ALL_REVISIONS[2:]),
    "bdr": ((512, 2048, 4096), BD_BYTES, ALL_REVISIONS[5:]),
}
# Blocks a relabel rewrites: PVD, IUVD and LVD in both sequences, the File
# Set Descriptor, and under a VAT the block holding its identifier.
MKUDFFS_CHANGED = {udf.PHYSICAL: 7, udf.SPARABLE: 7, udf.VIRTUAL: 8}


def mkudffs_path(media):
    if media in ("dvdrw", "cdrw"):
        return udf.SPARABLE
    return udf.VIRTUAL if media in ("dvdr", "cdr", "bdr") else udf.PHYSICAL


def mkudffs_cases():
    cases = []
    for media, (block_sizes, size, revisions) in MKUDFFS_MEDIA.items():
        path = mkudffs_path(media)
        for block_size in block_sizes:
            for revision in revisions:
                # 7zz opens images of 512- and 2048-byte blocks only.
                archive = path == udf.PHYSICAL and block_size in (512, 2048)
                cases.append(Case("mkudffs_%s_%s_b%d" % (media, revision.replace(".", ""), block_size),
                                  "mkudffs", {"media": media, "revision": revision, "size": size,
                                              "block_size": block_size},
                                  path, MKUDFFS_CHANGED[path], archive, None))
    return cases


CASES = mkudffs_cases() + [
    Case("genisoimage_udf_bridge", "genisoimage", {"volume": "BRIDGEVOL"},
         udf.PHYSICAL, 7, True, "BRIDGEVOL"),
    Case("pycdlib_udf_260", "pycdlib", {"volume": "PYCDVOL"}, udf.PHYSICAL, 7, True, "PYCDVOL"),
    Case("newfs_udf", "newfs_udf", {"size": 8 << 20}, udf.PHYSICAL, 7, False, None),
    Case("builder_udf250_metadata", "builder", {}, udf.METADATA, 8, True, None),
    Case("mkudffs_sparse_50gib", "mkudffs",
         {"media": "hd", "revision": "2.01", "size": 50 << 30, "block_size": 2048},
         udf.PHYSICAL, 7, True, None),
]

# What the readers reported, for the summary at the end.
MATRIX = []


def run(command, **kwargs):
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV,
                          stdin=subprocess.DEVNULL, timeout=300, **kwargs)


def checked(command, **kwargs):
    result = run(command, **kwargs)
    if result.returncode != 0:
        raise AssertionError("%s failed (%d): %s" % (" ".join(command), result.returncode,
                                                     result.stderr.decode(errors="replace")))
    return result.stdout.decode(errors="replace")


def missing_tools():
    missing = ["%s (%s)" % (tool, package) for tool, package in TOOLS.items()
               if shutil.which(tool, path=ENV["PATH"]) is None]
    try:
        import pycdlib  # noqa: F401
    except ImportError:
        missing.append("pycdlib (python3-pycdlib)")
    return missing


# ---- producers: each writes an image into `directory` and returns its path
# and the options udfinfo needs to read it

def sample_tree(directory):
    """A few files of known contents to put on the images."""
    files = {
        "readme.txt": b"Files for the interoperability suite.\n",
        "data/blob.bin": bytes((i * 7 + 3) & 0xFF for i in range(5000)),
        "data/small.txt": b"x\n",
    }
    root = os.path.join(directory, "tree")
    for name, contents in files.items():
        os.makedirs(os.path.dirname(os.path.join(root, name)), exist_ok=True)
        with open(os.path.join(root, name), "wb") as f:
            f.write(contents)
    return root, files


def make_mkudffs(directory, options):
    image = os.path.join(directory, "image.udf")
    with open(image, "wb") as f:
        f.truncate(options["size"])
    out = checked(["mkudffs", "-b", str(options["block_size"]), "-m", options["media"],
                   "-r", options["revision"], "--lvid=OrigLVID", "--vid=OrigVID", "--fsid=OrigFSID",
                   image])
    # On a write-once medium udfinfo looks for the VAT at the medium's last
    # block, not at the last one written: it is told where mkudffs put it.
    vat = re.search(r"^vatblock=(\d+)$", out, re.M)
    return image, ["--vatblock=" + vat.group(1)] if vat else []


def make_genisoimage(directory, options):
    root, _ = sample_tree(directory)
    image = os.path.join(directory, "bridge.iso")
    checked(["genisoimage", "-quiet", "-udf", "-V", options["volume"], "-o", image, root])
    return image, []


def make_pycdlib(directory, options):
    import pycdlib
    _, files = sample_tree(directory)
    image = os.path.join(directory, "pycdlib.iso")
    iso = pycdlib.PyCdlib()
    iso.new(interchange_level=3, vol_ident=options["volume"], udf="2.60")
    iso.add_directory("/DATA", udf_path="/data")
    for name, contents in files.items():
        iso_name = "/" + name.upper() + ";1"
        iso.add_fp(io.BytesIO(contents), len(contents), iso_name, udf_path="/" + name)
    iso.write(image)
    iso.close()
    return image, []


def make_newfs_udf(directory, options):
    image = os.path.join(directory, "newfs.udf")
    with open(image, "wb") as f:
        f.truncate(options["size"])
    checked(["newfs_udf", "-b", "2048", "-L", "NewfsLVID", "-P", "NewfsVID", image])
    return image, []


def make_builder(directory, options):
    image = os.path.join(directory, "builder.udf")
    checked([SAMPLE_MAKER, image, "--metadata-files"])
    return image, []


PRODUCERS = {
    "mkudffs": make_mkudffs,
    "genisoimage": make_genisoimage,
    "pycdlib": make_pycdlib,
    "newfs_udf": make_newfs_udf,
    "builder": make_builder,
}


# ---- readers

def udfinfo(image, options=()):
    result = run(["udfinfo", *options, image])
    fields = {}
    for line in result.stdout.decode("utf-8", errors="replace").splitlines():
        key, _, value = line.partition("=")
        if key in ("label", "lvid", "vid", "fsid"):
            fields["udfinfo " + key] = value
    return fields, result.stderr.decode(errors="replace").strip()


def blkid(image, session_offset=0):
    fields = {}
    for tag in ("LABEL", "LOGICAL_VOLUME_ID", "VOLUME_ID"):
        result = run(["blkid", "-p", "--hint", "session_offset=%d" % session_offset, "-o", "value", "-s", tag, image])
        fields["blkid " + tag] = result.stdout.decode("utf-8", errors="replace").rstrip("\n")
    return fields


def archive_listing(image):
    """7zz's exit status and technical listing of the image; no listing when
    it cannot open the image."""
    result = run(["7zz", "l", "-slt", "-ba", "--", image])
    text = result.stdout.decode(errors="replace")
    if result.returncode == 2 or "Cannot open the file as archive" in text:
        return result.returncode, None
    return result.returncode, text


def archive_contents(image, directory):
    """Path -> SHA-256 of every file 7zz extracts from the image."""
    if os.path.exists(directory):
        shutil.rmtree(directory)
    run(["7zz", "x", "-y", "-o" + directory, "--", image])
    contents = {}
    for root, _, names in os.walk(directory):
        for name in names:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                contents[os.path.relpath(path, directory)] = hashlib.sha256(f.read()).hexdigest()
    return contents


def iso9660_volume(image):
    out = checked(["iso-info", "-d", "-i", image])
    match = re.search(r"^Volume\s*:\s*(.*)$", out, re.M)
    return match.group(1).rstrip() if match else None


def copy_sparse(source, target):
    checked(["cp", "--sparse=always", source, target])


def allocated_bytes(path):
    return os.stat(path).st_blocks * 512


# Bytes of each label-carrying descriptor that a relabel may change: the
# identifier fields and the charspecs that go with them.
REWRITTEN_FIELDS = {
    udf.TAG_PVD: [(24, 56), (200, 264)],
    udf.TAG_IUVD: [(52, 116), (116, 244)],
    udf.TAG_LVD: [(20, 84), (84, 212)],
    udf.TAG_FSD: [(48, 112), (112, 240), (240, 304), (304, 336)],
}
# Where the label lies in each: offset, size.
LABEL_FIELDS = {
    udf.TAG_PVD: [(24, 32)],
    udf.TAG_IUVD: [(116, 128)],
    udf.TAG_LVD: [(84, 128)],
    udf.TAG_FSD: [(112, 128), (304, 32)],
}
CS0 = b"\0OSTA Compressed Unicode" + bytes(40)
CHARSETS = {udf.TAG_PVD: [200], udf.TAG_IUVD: [52], udf.TAG_LVD: [20], udf.TAG_FSD: [48, 240]}

# The identity a query shows: --json key -> the udfinfo key with the same
# value (windows_serial_number and write_protect: see udfinfo_words).
IDENTITY_KEYS = {
    "volume_identifier": "vid", "logical_volume_identifier": "lvid", "file_set_identifier": "fsid",
    "volume_set_identifier": "fullvsid", "owner": "owner", "organization": "organization",
    "contact": "contact", "application_identifier": "appid", "implementation_identifier": "impid",
    "access_type": "accesstype", "integrity": "integrity", "udf_read_revision": "udfrev",
    "udf_write_revision": "udfwriterev",
}
# The identity options, in the order of their "Changing" lines: value, the
# field's name in that line, the descriptors that carry the field ("VAT": the
# block of the VAT's identifier). Values fit their fields in 8 bits, as
# udflabel wants. "off" unseals the image "on" sealed.
IDENTITY_OPTIONS = [
    ("--vid", "Vïd of interop", "Volume Identifier", {udf.TAG_PVD}),
    ("--lvid", "Lvïd of interop", "Logical Volume Identifier",
     {udf.TAG_LVD, udf.TAG_IUVD, udf.TAG_FSD, "VAT"}),
    ("--fsid", "Fsïd of interop", "File Set Identifier", {udf.TAG_FSD}),
    ("--vsid", "Vsïd of interop", "Volume Set Identifier", {udf.TAG_PVD}),
    ("--fullvsid", "0123456789abcdefFüll", "Volume Set Identifier", {udf.TAG_PVD}),
    ("--owner", "Öwner of interop", "owner", {udf.TAG_IUVD}),
    ("--organization", "Örganization", "organization", {udf.TAG_IUVD}),
    ("--contact", "cöntact@example.org", "contact", {udf.TAG_IUVD}),
    ("--appid", "*Interop App", "Application Identifier", {udf.TAG_PVD}),
    ("--impid", "*Interop Imp", "Implementation Identifier", {udf.TAG_PVD}),
    ("--write-protect", "on", "write protection", {udf.TAG_LVD, udf.TAG_FSD}),
    ("--write-protect", "off", "write protection", {udf.TAG_LVD, udf.TAG_FSD}),
]
SOFT_WRITE_PROTECT = {udf.TAG_LVD: 242, udf.TAG_FSD: 442}  # domain flags byte; bit 1


@functools.lru_cache(None)
def identity_built():
    """Whether this volquill shows and sets the whole identity (issue 30)."""
    return "--vid" in run([BINARY, "--help"]).stdout.decode()


def udfinfo_keys(image, options=()):
    return dict(line.partition("=")[::2] for line in checked(["udfinfo", *options, image]).splitlines())


def udfinfo_words(record):
    """A query's identity in udfinfo's keys and words."""
    words = {info: record[key] for key, info in IDENTITY_KEYS.items()}
    serial, protect = record["windows_serial_number"], record["write_protect"]
    if re.fullmatch(r"[0-9A-F]{4}-[0-9A-F]{4}", serial or ""):
        serial = "0x" + serial.replace("-", "").lower()
    words.update(winserialnum=serial, hardwriteprotect="yes" if protect["hard"] else "no",
                 softwriteprotect="yes" if protect["soft"] or protect["hard"] else "no")
    return words


def sets_identity(case):
    """Whether the identity options are tried on the case (the query is
    compared on all): every producer's image; of mkudffs', each medium's
    last revision in every block size, and UDF 1.50 (its VAT form) in 2048."""
    revision, revisions = case.options.get("revision"), MKUDFFS_MEDIA.get(case.options.get("media"))
    return case.producer != "mkudffs" or revisions is None or revision == revisions[2][-1] or (
        revision == "1.50" and case.options["block_size"] == 2048)


def comparable(keys, *free):
    """udfinfo's keys but the file name, the Windows serial number (a checksum
    of the File Set Descriptor) and `free`."""
    return {k: v for k, v in keys.items() if k not in ("filename", "winserialnum") + free}


def identity_set(option, value, before):
    """The udfinfo keys an identity option sets and what they show after it."""
    key = option[2:]
    if key == "write-protect":
        return {"softwriteprotect": "yes" if value == "on" else before["hardwriteprotect"]}
    if key in ("vsid", "fullvsid"):
        return {"fullvsid": value if key == "fullvsid" else before["fullvsid"][:16] + value}
    return {"lvid": value, "label": value} if key == "lvid" else {key: value}


def identity_blocks(volume, image, tags, value):
    """The label-carrying blocks of `image` that carry the field (for the
    seal, those whose Soft Write-Protect flag is not already `value`)."""
    blocks = []
    with udf.Image(image, volume.block_size) as old:
        for n in volume.expected_changes():
            block = old.block(n)
            tag = "VAT" if volume.vat_label and n == volume.vat_label[0] else udf.tag_identifier(block)
            flag = SOFT_WRITE_PROTECT.get(tag)
            if tag in tags and (value not in ("on", "off") or bool(block[flag] & 2) != (value == "on")):
                blocks.append(n)
    return blocks


class Interoperability(unittest.TestCase):
    maxDiff = None

    def check_case(self, case):
        with tempfile.TemporaryDirectory(prefix="volquill-interop.") as directory:
            original, udfinfo_options = PRODUCERS[case.producer](directory, case.options)
            volume = udf.Volume(original)
            self.assertEqual(volume.block_size, case.options.get("block_size", udf.SECTOR),
                             "block size")
            self.assertEqual(volume.path_kind, case.path, "path to the File Set Descriptor")
            expected = volume.expected_changes()
            self.assertEqual(len(expected), case.changed, "label-carrying blocks %s" % expected)
            if udfinfo_options:
                self.assertEqual(udfinfo_options, ["--vatblock=%d" % volume.vat_block],
                                 "the VAT the reader found")

            readers_before, udfinfo_warnings = udfinfo(original, udfinfo_options)
            readers_before.update(blkid(original))
            self.assertEqual(udfinfo_warnings, "", "udfinfo on the original")
            before_query = self.query(original)
            self.assertEqual(before_query, volume.label(), "query of the original")
            if case.producer == "mkudffs":
                self.assertEqual(before_query, readers_before["udfinfo label"],
                                 "query of the original against udfinfo")
            archive_before = archive_listing(original)
            self.assertEqual(archive_before[0] == 0, case.archive, "7zz opens the original")
            contents_before = None
            if archive_before[1] is not None:
                contents_before = archive_contents(original, os.path.join(directory, "x0"))
                if case.producer != "mkudffs":
                    self.assertTrue(contents_before, "7zz extracts the original's files")
            iso_before = iso9660_volume(original) if case.iso_volume else None
            self.assertEqual(iso_before, case.iso_volume)

            path = case.path + (" VAT " + volume.vat_form if volume.vat_form else "")
            row = {"image": case.name, "path": path, "block": volume.block_size,
                   "blocks": expected, "fields": {},
                   "7zz": "cannot open" if contents_before is None else
                          "%d files, same" % len(contents_before)}
            for label in LABELS:
                with self.subTest(label=label):
                    work = os.path.join(directory, "work.img")
                    copy_sparse(original, work)
                    self.relabel_and_check(case, volume, original, work, label, udfinfo_options,
                                           readers_before, archive_before, contents_before, row)
            with self.subTest(uuid="0123456789ABCDEF"):
                # --uuid alone: both Primary Volume Descriptors, and blkid and
                # udfinfo read the new UUID back.
                work = os.path.join(directory, "uuid.img")
                copy_sparse(original, work)
                result = run([BINARY, "--uuid", "0123456789ABCDEF", work])
                self.assertEqual(result.stdout.decode(), "Changing %s UUID to '0123456789abcdef'\nDone!\n" % work)
                with udf.Image(original, volume.block_size) as old:
                    primaries = [n for n in expected if udf.tag_identifier(old.block(n)) == udf.TAG_PVD]
                self.assertEqual(udf.changed_sectors(original, work, volume.block_size), primaries)
                blkid_uuid = run(["blkid", "-p", "-o", "value", "-s", "UUID", work]).stdout.decode()
                self.assertEqual(blkid_uuid, "0123456789abcdef\n", "blkid UUID")
                udfinfo_out = run(["udfinfo"] + udfinfo_options + [work]).stdout.decode()
                self.assertIn("\nuuid=0123456789abcdef\n", udfinfo_out, "udfinfo uuid")
            row.update(identity=0, refused=[])
            with self.subTest(identity="query"):
                self.check_identity(original, udfinfo_options)
            work = os.path.join(directory, "identity.img")
            for i, (option, value, words, tags) in enumerate(IDENTITY_OPTIONS if sets_identity(case) else []):
                with self.subTest(option=option, value=value):
                    self.set_identity(volume, original, work, udfinfo_options, i, row)
            MATRIX.append(row)

    def check_identity(self, image, udfinfo_options, record=None):
        """Each identity key of the query equals udfinfo's value."""
        if not identity_built():
            self.skipTest("volquill --help lists no --vid")
        record = record or json.loads(checked([BINARY, "--json", image]))
        words = udfinfo_words(record)
        info = udfinfo_keys(image, udfinfo_options)
        self.assertEqual(words, {key: info.get(key) for key in words}, "query against udfinfo")

    def set_identity(self, volume, original, work, udfinfo_options, i, row):
        """One identity option: only the copies that carry its field change
        and verify; udfinfo shows the new value and every other key as
        before, winserialnum new exactly when the File Set Descriptor
        changed; udflabel's result for the option reads the same."""
        option, value, words, tags = IDENTITY_OPTIONS[i]
        if not identity_built():
            self.skipTest("volquill --help lists no --vid")
        if value != "off":
            copy_sparse(original, work)
        before_image = work + ".before"
        copy_sparse(work, before_image)
        before = udfinfo_keys(work, udfinfo_options)
        result = run([BINARY] + ([option, value] if i % 2 else [option + "=" + value]) + [work])
        line = "%s to %s" % (words, value) if value in ("on", "off") else "%s to '%s'" % (words, value)
        self.assertEqual((result.returncode, result.stdout.decode()),
                         (0, "Changing %s %s\nDone!\n" % (work, line)))
        changed = udf.changed_sectors(before_image, work, volume.block_size)
        self.assertEqual(changed, identity_blocks(volume, before_image, tags, value), "changed blocks")
        with udf.Image(work, volume.block_size) as new:
            for n in changed:
                tag = udf.tag_identifier(new.block(n))
                location = volume.fsd_block if tag == udf.TAG_FSD else (
                    volume.vat_tag_location if n == volume.vat_block else n)
                if tag in REWRITTEN_FIELDS or n == volume.vat_block:
                    self.assertEqual(udf.tag_problems(new.block(n), location), [], "block %d" % n)
        after = udfinfo_keys(work, udfinfo_options)
        free = ("vsid", "uuid") if "vsid" in option else ()
        want = dict(before, **identity_set(option, value, before))
        self.assertEqual(comparable(after, *free), comparable(want, *free), "udfinfo after " + option)
        self.assertEqual(after["winserialnum"] != before["winserialnum"],
                         bool(set(changed) & set(volume.fsd_sectors)), "winserialnum")
        self.check_identity(work, udfinfo_options)
        row["identity"] = i + 1
        # udflabel cannot write a VAT, has no seal, and sets --vsid only
        # after 16 lower-case hexadecimal digits.
        if volume.vat_block is None and option != "--write-protect" and (
                option != "--vsid" or re.fullmatch("[0-9a-f]{16}", before["fullvsid"][:16])):
            theirs = work + ".udflabel"
            copy_sparse(before_image, theirs)
            latin1 = os.fsdecode((option + "=" + value).encode("latin-1"))
            result = run(["udflabel", "--u8", "--force", latin1, theirs])
            if result.returncode:  # pycdlib's Logical Volume Descriptor is "damaged" to it
                row["refused"].append(option)
            else:
                self.assertEqual(comparable(udfinfo_keys(theirs), *free), comparable(after, *free),
                                 "udflabel's result")

    def query(self, image):
        result = run([BINARY, image])
        out = result.stdout.decode("utf-8")
        self.assertEqual(result.returncode, 0, out)
        prefix = "Volume label of %s: " % image
        self.assertTrue(out.startswith(prefix) and out.endswith("\n"), out)
        return out[len(prefix):-1]

    def relabel_and_check(self, case, volume, original, work, label, udfinfo_options,
                          readers_before, archive_before, contents_before, row):
        allocated = allocated_bytes(work)
        result = run([BINARY, work, label])
        self.assertEqual(result.returncode, 0, result.stdout.decode("utf-8"))
        self.assertEqual(result.stdout.decode("utf-8"),
                         "Changing %s volume label to '%s'\nDone!\n" % (work, label))
        self.assertEqual(result.stderr, b"")

        # Exactly the label-carrying blocks changed, each still verifying
        # and differing only in its identifier fields.
        changed = udf.changed_sectors(original, work, volume.block_size)
        self.assertEqual(changed, volume.expected_changes(), "changed blocks")
        with udf.Image(original, volume.block_size) as old, udf.Image(work, volume.block_size) as new:
            for n in changed:
                if volume.vat_label and n == volume.vat_label[0]:
                    self.check_rewritten_vat(volume, n, old.block(n), new.block(n), label)
                else:
                    self.check_rewritten_descriptor(volume, n, old.block(n), new.block(n), label)
        growth = allocated_bytes(work) - allocated
        self.assertLessEqual(growth, 4 * max(volume.block_size, 4096), "the image stays sparse")

        rewritten = {"LVD", "PVD"} | ({"FSD"} if volume.fsd_sectors else set())
        readers, warnings = udfinfo(work, udfinfo_options)
        readers.update(blkid(work))
        self.assertEqual(warnings, "", "udfinfo on the relabelled image")
        for field, source in READER_FIELDS.items():
            if source in rewritten:
                want, shown = udf.cut_label(label, FIELD_SIZE[source]), "new"
            else:
                want, shown = readers_before[field], "kept " + readers_before[field]
            self.assertEqual(readers.get(field), want, field)
            row["fields"][field] = shown

        self.assertEqual(self.query(work), udf.cut_label(label, 128), "query of the relabelled image")

        if contents_before is not None:
            self.assertEqual(archive_listing(work), archive_before, "7zz status and listing")
            self.assertEqual(archive_contents(work, os.path.join(os.path.dirname(work), "x1")),
                             contents_before, "7zz extracted files")
        if case.iso_volume:
            self.assertEqual(iso9660_volume(work), case.iso_volume, "ISO 9660 volume identifier")
            row["iso"] = "; iso-info kept " + case.iso_volume

    def check_rewritten_descriptor(self, volume, n, old, new, label):
        tag = udf.tag_identifier(new)
        where = "block %d (tag %d)" % (n, tag)
        self.assertIn(tag, REWRITTEN_FIELDS, where)
        self.assertEqual(udf.tag_identifier(old), tag, where)
        location = volume.fsd_block if tag == udf.TAG_FSD else n
        self.assertEqual(udf.tag_problems(new, location), [], where)
        self.assertEqual(new[10:12], old[10:12], where + ": CRC length")
        kept = bytearray(new)
        for start, end in REWRITTEN_FIELDS[tag]:
            kept[start:end] = old[start:end]
        kept[4], kept[8:10] = old[4], old[8:10]
        self.assertEqual(bytes(kept), old, where + ": bytes outside the identifier fields")
        for offset, size in LABEL_FIELDS[tag]:
            self.assertEqual(udf.dstring(new[offset:offset + size]), udf.cut_label(label, size),
                             "%s: identifier at %d" % (where, offset))
        for offset in CHARSETS[tag]:
            self.assertEqual(new[offset:offset + 64], CS0, "%s: charspec at %d" % (where, offset))

    def check_rewritten_vat(self, volume, n, old, new, label):
        """The block holding the VAT's Logical Volume Identifier: only that
        identifier changed and, in the VAT's own File Entry (embedded data or
        the LVExtension attribute), the tag still verifies."""
        offset = volume.vat_label[1]
        where = "VAT identifier in block %d at %d (UDF %s form)" % (n, offset, volume.vat_form)
        kept = bytearray(new)
        kept[offset:offset + 128] = old[offset:offset + 128]
        if n == volume.vat_block:
            self.assertEqual(udf.tag_problems(new, volume.vat_tag_location), [], where)
            kept[4], kept[8:10] = old[4], old[8:10]
        self.assertEqual(bytes(kept), old, where + ": bytes outside the identifier")
        self.assertEqual(udf.dstring(new[offset:offset + 128]), udf.cut_label(label, 128), where)


def add_case_tests():
    for case in CASES:
        def test(self, case=case):
            self.check_case(case)
        test.__doc__ = "%s: %s path" % (case.name, case.path)
        setattr(Interoperability, "test_" + case.name, test)


add_case_tests()


# Multi-session images: mkudffs run once per session on one file with
# increasing --startblock (2048-byte blocks), and genisoimage sessions made
# with -C and -M, each laid at its start block. Name, producer, media type,
# closed, number of sessions, the gaps after the sessions (the last one
# repeated; none: mkudffs sessions SESSION_SPAN apart), and whether the
# image is copied densely (cp --sparse=never: its gaps zero bytes, not holes).
MultiSession = namedtuple("MultiSession", "name producer media closed sessions gaps dense", defaults=(None, False))
MULTI_SESSION_CASES = [
    MultiSession("mkudffs_%s%s_%d_sessions" % (media, "_closed" if closed else "", count), "mkudffs", media, closed, count)
    for media in ("cdr", "dvdr", "bdr") for closed in (False, True) for count in (2, 3)
] + [MultiSession("genisoimage_3_sessions", "genisoimage", None, True, 3)] + [
    MultiSession("%s_%d_sessions_gaps_%s%s" % (name, count, "_".join(map(str, gaps)), "_dense" * dense), producer,
                 media, closed, count, gaps, dense)
    for name, producer, media, closed, counts in (
        ("mkudffs_cdr", "mkudffs", "cdr", False, (2, 3)), ("mkudffs_dvdr", "mkudffs", "dvdr", False, (2, 3)),
        ("mkudffs_bdr", "mkudffs", "bdr", False, (2, 3)), ("mkudffs_bdr_closed", "mkudffs", "bdr", True, (2, 3)),
        ("genisoimage", "genisoimage", None, True, (2, 3, 4)))
    for count in counts for gaps in ((0,), (150,), (6900,), (11400, 6900)) for dense in (False, True)
]
SESSION_SPAN = 1000  # blocks between mkudffs sessions' starts


def make_mkudffs_sessions(directory, case):
    """The image and, per session, (start, last block, VAT block or None)."""
    image = os.path.join(directory, "sessions.udf")
    sessions = []
    for k in range(case.sessions):
        start = k * SESSION_SPAN
        if case.gaps and k:
            start = os.path.getsize(image) // udf.SECTOR + case.gaps[min(k, len(case.gaps)) - 1]
        out = checked(["mkudffs", "--media-type=" + case.media] + (["--closed"] if case.closed else [])
                      + ["--lvid=Session%d" % (k + 1), "--vid=Vid%d" % (k + 1), "--fsid=Fsid%d" % (k + 1),
                         "--startblock=%d" % start, image, str(start + 30 * SESSION_SPAN)])
        sessions.append((start, int(re.search(r"^vatblock=(\d+)$", out, re.M).group(1))))
    return image, sessions


def make_genisoimage_sessions(directory, case):
    root, _ = sample_tree(directory)
    image = os.path.join(directory, "sessions.iso")
    sessions, start, gaps = [], 0, case.gaps or (0,)
    for k in range(case.sessions):
        with open(os.path.join(root, "session%d.txt" % k), "w") as f:
            f.write("session %d\n" % k)
        part = os.path.join(directory, "part%d.iso" % k)
        previous = [] if k == 0 else ["-C", "%d,%d" % (sessions[-1][0], start), "-M", image]
        checked(["genisoimage", "-quiet", "-udf", "-V", "Session%d" % (k + 1)] + previous + ["-o", part, root])
        with open(part, "rb") as source, open(image, "r+b" if k else "wb") as target:
            target.seek(start * udf.SECTOR)
            target.write(source.read())
        sessions.append((start, None))
        start += os.path.getsize(part) // udf.SECTOR + gaps[min(k, len(gaps) - 1)]
    return image, sessions


def session_options(sessions, k):
    """udfinfo's options for session k."""
    start, vat = sessions[k]
    options = ["--startblock=%d" % start]
    if k + 1 < len(sessions):
        options.append("--lastblock=%d" % (sessions[k + 1][0] - 1))
    return options + (["--vatblock=%d" % vat] if vat is not None else [])


class MultiSessionImages(unittest.TestCase):
    """A relabel rewrites every session: udfinfo (--startblock, --lastblock
    for the earlier ones) and blkid (--hint session_offset=) read the new
    label in each, the query in the last; exactly the blocks the dry run
    lists change, and each still verifies. A dense copy shows the sessions
    the sparse image shows."""

    def check_case(self, case):
        with tempfile.TemporaryDirectory(prefix="volquill-sessions.") as directory:
            make = make_mkudffs_sessions if case.producer == "mkudffs" else make_genisoimage_sessions
            image, sessions = make(directory, case)
            if case.dense:
                dense = os.path.join(directory, "dense.img")
                checked(["cp", "--sparse=never", image, dense])
                self.assertEqual(*(run([BINARY, "-v", i]).stdout.splitlines()[1:] for i in (dense, image)))
                image = dense
                # The usual gaps are looked at, not read through: at most 1 MiB.
                trace = os.path.join(directory, "reads")
                run(["strace", "-qq", "-o", trace, "-e", "trace=pread64", BINARY, image])
                with open(trace) as f:
                    self.assertLessEqual(sum(int(line.split()[-1]) for line in f if "= " in line), 1 << 20)
            original = os.path.join(directory, "original.img")
            copy_sparse(image, original)
            self.assertEqual(self.query(image), "Session%d" % case.sessions, "the last session's label")
            record = json.loads(run([BINARY, "--json", image]).stdout.decode())
            self.assertEqual([s["start"] for s in record["sessions"]], [s for s, _ in sessions])
            for k, session in enumerate(record["sessions"]):
                # The last session's identity, or each session's where the
                # query gives one.
                if "volume_identifier" in session or k + 1 == len(sessions):
                    with self.subTest(identity="session %d" % (k + 1)):
                        self.check_identity(image, session_options(sessions, k),
                                            session if "volume_identifier" in session else record)

            listing = run([BINARY, "-n", image, ASCII_LABEL]).stdout.decode()
            planned = sorted(set(int(n) for n in re.findall(r" at block (\d+) \(", listing)))
            per_session = 7 if case.producer == "genisoimage" else 8
            self.assertEqual(len(planned), per_session * case.sessions, listing)
            for number in range(1, case.sessions + 1):
                self.assertIn("session %d): " % number, listing)

            result = run([BINARY, image, ASCII_LABEL])
            self.assertEqual((result.returncode, result.stdout.decode()),
                             (0, "Changing %s volume label to '%s'\nDone!\n" % (image, ASCII_LABEL)))
            self.assertEqual(udf.changed_sectors(original, image), planned, "changed blocks")
            with udf.Image(image) as new:
                for n in planned:
                    block = new.block(n)
                    location = n if udf.tag_identifier(block) in (udf.TAG_PVD, udf.TAG_IUVD, udf.TAG_LVD) else None
                    if udf.tag_identifier(block) in REWRITTEN_FIELDS or n == location:
                        self.assertEqual(udf.tag_problems(block, location), [], "block %d" % n)

            for k in range(len(sessions)):
                fields, _ = udfinfo(image, session_options(sessions, k))
                for field, size in (("label", 128), ("vid", 32), ("fsid", 32)):
                    self.assertEqual(fields.get("udfinfo " + field), udf.cut_label(ASCII_LABEL, size),
                                     "session %d: udfinfo %s" % (k + 1, field))
                self.assertEqual(blkid(image, sessions[k][0] * udf.SECTOR)["blkid LABEL"], fields["udfinfo label"], "blkid")
            self.assertEqual(self.query(image), udf.cut_label(ASCII_LABEL, 128), "query")
            with self.subTest(identity="every option at once, every session"):
                self.set_identity_everywhere(image, original, sessions, planned)

    def set_identity_everywhere(self, image, original, sessions, planned):
        """All identity options in one run (--vsid for the Volume Set
        Identifier): each session shows every new value and its other keys
        as before, and no block outside the label's changed."""
        if not identity_built():
            self.skipTest("volquill --help lists no --vid")
        options = [o for o in IDENTITY_OPTIONS if o[0] != "--fullvsid" and o[1] != "off"]
        before = [udfinfo_keys(image, session_options(sessions, k)) for k in range(len(sessions))]
        result = run([BINARY] + [a for o in options for a in o[:2]] + [image])
        self.assertEqual(result.returncode, 0, result.stdout.decode())
        self.assertEqual(udf.changed_sectors(original, image), planned, "changed blocks")
        for k in range(len(sessions)):
            want = dict(before[k])
            for option, value, _, _ in options:
                want.update(identity_set(option, value, before[k]))
            after = udfinfo_keys(image, session_options(sessions, k))
            self.assertEqual(comparable(after, "vsid", "uuid"), comparable(want, "vsid", "uuid"),
                             "session %d" % (k + 1))

    query = Interoperability.query
    check_identity = Interoperability.check_identity


def add_multi_session_tests():
    for case in MULTI_SESSION_CASES:
        def test(self, case=case):
            self.check_case(case)
        setattr(MultiSessionImages, "test_" + case.name, test)


add_multi_session_tests()


# The volume the README's first command makes: make_sample_image with no
# option. Its one file and what it holds.
SAMPLE_LABEL = "Sample Disc"
SAMPLE_FILES = {"hello.txt": b"Hello from the volquill sample disc.\n"}


class SampleImage(unittest.TestCase):
    """The sample image is a complete volume: udfinfo reads it without a
    warning, blkid reports UDF and its label, 7zz lists and extracts its file,
    and the query shows its label, before and after the README's relabel."""

    def check_readers(self, image, label, extract_to):
        result = run(["udfinfo", image])
        self.assertEqual((result.returncode, result.stderr.decode(errors="replace")), (0, ""),
                         "udfinfo status and warnings")
        fields, _ = udfinfo(image)
        self.assertEqual(fields["udfinfo label"], label)
        self.assertEqual(fields["udfinfo fsid"], label)
        type_result = run(["blkid", "-p", "-o", "value", "-s", "TYPE", image])
        self.assertEqual(type_result.stdout.decode(), "udf\n", "blkid TYPE")
        self.assertEqual(blkid(image)["blkid LABEL"], label)
        status, listing = archive_listing(image)
        self.assertEqual(status, 0, "7zz l status")
        self.assertIsNotNone(listing, "7zz opens the image")
        self.assertNotIn("Warning", listing)
        self.assertEqual(re.findall(r"^Path = (.*)$", listing, re.M), list(SAMPLE_FILES))
        self.assertEqual(archive_contents(image, extract_to),
                         {name: hashlib.sha256(data).hexdigest()
                          for name, data in SAMPLE_FILES.items()}, "7zz extracted files")
        result = run([BINARY, image])
        self.assertEqual((result.returncode, result.stdout.decode("utf-8")),
                         (0, "Volume label of %s: %s\n" % (image, label)), "query")

    def test_sample_image_before_and_after_relabel(self):
        with tempfile.TemporaryDirectory(prefix="volquill-sample.") as directory:
            image = os.path.join(directory, "sample.iso")
            checked([SAMPLE_MAKER, image])
            self.assertLess(os.path.getsize(image), 4 << 20, "a small image")
            original = os.path.join(directory, "original.iso")
            shutil.copyfile(image, original)
            volume = udf.Volume(image)
            self.assertEqual((volume.path_kind, len(volume.expected_changes())), (udf.PHYSICAL, 7))
            with self.subTest(stage="as made"):
                self.check_readers(image, SAMPLE_LABEL, os.path.join(directory, "x0"))

            result = run([BINARY, image, "The Monkey"])
            self.assertEqual((result.returncode, result.stdout.decode("utf-8"), result.stderr),
                             (0, "Changing %s volume label to 'The Monkey'\nDone!\n" % image, b""))
            self.assertEqual(udf.changed_sectors(original, image), volume.expected_changes())
            with self.subTest(stage="relabelled"):
                self.check_readers(image, "The Monkey", os.path.join(directory, "x1"))


def setUpModule():
    missing = missing_tools()
    if not missing:
        return
    message = "interoperability tools missing: " + ", ".join(missing)
    if os.environ.get("CI") == "true":
        raise RuntimeError(message)
    print("SKIPPED: " + message, file=sys.stderr)
    raise unittest.SkipTest(message)


def tearDownModule():
    """Prints what each reader showed after the relabels: "new" where it
    showed the new label, cut to its field, for both labels."""
    if not MATRIX:
        return
    print("\nimage, path the relabel takes, block size, rewritten blocks; "
          "udfinfo label/lvid/vid/fsid; blkid LABEL/LOGICAL_VOLUME_ID/VOLUME_ID; 7zz; identity")
    for row in sorted(MATRIX, key=lambda r: r["image"]):
        fields = row["fields"]
        udfinfo_fields = [fields.get("udfinfo " + k, "?") for k in ("label", "lvid", "vid", "fsid")]
        blkid_fields = [fields.get("blkid " + k, "?") for k in ("LABEL", "LOGICAL_VOLUME_ID", "VOLUME_ID")]
        identity = "identity: %d options = udfinfo%s" % (row["identity"], "".join(
            ", not %s = udflabel" % o for o in row["refused"])) if row["identity"] else "identity: not set"
        print("%-26s %-16s %5d %-52s %s; %s; %s%s; %s" % (
            row["image"], row["path"], row["block"], " ".join(map(str, row["blocks"])),
            "/".join(udfinfo_fields), "/".join(blkid_fields), row["7zz"], row.get("iso", ""), identity))


def main():
    global BINARY, SAMPLE_MAKER
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", required=True)
    parser.add_argument("--sample-maker", required=True)
    args, rest = parser.parse_known_args()
    BINARY = os.path.abspath(args.binary)
    SAMPLE_MAKER = os.path.abspath(args.sample_maker)
    unittest.main(argv=[sys.argv[0]] + rest)


if __name__ == "__main__":
    main()
