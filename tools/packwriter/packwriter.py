#!/usr/bin/env python3
"""Appends a package holding a manifest to a Windows executable.

The package lies behind the raw data of the executable's last section (E):

  plain form         E: u32 0, then the package header, its records and the archive data;
                     an Authenticode signature added afterwards goes behind the package.
  --after-signature  the executable is already signed and its certificate table starts at E
                     and ends the file; the package goes behind the whole table, where the
                     reader seeks it (E + the length of the table's one record). The
                     certificate directory is left as it is: the package is outside it, so the
                     signature no longer covers the file (a layout for readers' tests).
                     A package inside the certificate directory is no package to the reader.

Package format 2 (legacy records, the delivered form) or 5 (current records with end markers).
The one archive is named "VekManifest.js" and has the manifest archive type.

Usage: packwriter.py [--format 2|5] [--after-signature] EXE MANIFEST OUT
"""
import argparse
import struct
import sys
import uuid

MAGIC = b"pcPB"
END_MARKER = struct.pack("<I", 0xBEDA0BED)
MANIFEST_ID = "VekManifest.js"
MANIFEST_TYPE = uuid.UUID("{EB5654DC-1A46-4B35-9359-4BD26D90193B}")
MANIFEST_LEGACY_TYPE_INDEX = 2  # index of the manifest type in the legacy type table

# Tags of the typed archive used by legacy records.
TAG_WSTRING, TAG_UINT64, TAG_UINT32 = 8, 4, 3


class PeError(Exception):
    pass


class PeLayout:
    """The few header fields the package placement needs."""

    def __init__(self, data):
        if len(data) < 64 or data[:2] != b"MZ":
            raise PeError("not a PE file (no MZ header)")
        self.nt = struct.unpack_from("<I", data, 0x3C)[0]
        if data[self.nt:self.nt + 4] != b"PE\0\0":
            raise PeError("not a PE file (no PE signature)")
        coff = self.nt + 4
        (self.sections, _, self.symtab, self.nsyms, opt_size, _) = struct.unpack_from("<HIIIHH", data, coff + 2)
        opt = coff + 20
        magic = struct.unpack_from("<H", data, opt)[0]
        if magic == 0x10B:
            self.cert_dir = self.nt + 0x98
        elif magic == 0x20B:
            self.cert_dir = self.nt + 0xA8
        else:
            raise PeError("unknown optional header magic 0x%X" % magic)
        if self.sections == 0:
            raise PeError("the executable has no sections")
        last = opt + opt_size + (self.sections - 1) * 40
        raw_size, raw_ptr = struct.unpack_from("<II", data, last + 16)
        self.end_of_raw = raw_ptr + raw_size  # E
        self.symtab_field = coff + 8
        self.cert_offset, self.cert_size = struct.unpack_from("<II", data, self.cert_dir)


def build_package(fmt, manifest):
    ident = MANIFEST_ID.encode("utf-16-le")
    if fmt == 2:
        id_with_nul = ident + b"\0\0"
        record = (struct.pack("<BI", TAG_WSTRING, len(id_with_nul)) + id_with_nul
                  + struct.pack("<BQ", TAG_UINT64, len(manifest))
                  + struct.pack("<BI", TAG_UINT32, MANIFEST_LEGACY_TYPE_INDEX))
        header = MAGIC + struct.pack("<IQI", 2, 1, len(record))
        return header + record + manifest
    if fmt == 5:
        record = (struct.pack("<I", len(MANIFEST_ID)) + ident + struct.pack("<I", len(manifest))
                  + MANIFEST_TYPE.bytes_le)
        header = MAGIC + struct.pack("<II", 5, 1)
        return header + record + manifest + END_MARKER
    raise ValueError("format must be 2 or 5")


def append_plain(data, package):
    pe = PeLayout(data)
    if pe.cert_size:
        raise PeError("the executable is signed: append the package first and sign afterwards")
    tail = len(data) - pe.end_of_raw
    if tail < 0:
        raise PeError("the file is shorter than its last section")
    if tail:
        # A COFF symbol table behind the sections is the only tail we drop (unstripped MinGW
        # output); anything else may be data of someone else's.
        if pe.symtab != pe.end_of_raw:
            raise PeError("the executable has %d bytes behind its last section" % tail)
        data = bytearray(data[:pe.end_of_raw])
        struct.pack_into("<II", data, pe.symtab_field, 0, 0)
        data = bytes(data)
    return data + struct.pack("<I", 0) + package


def append_after_signature(data, package):
    pe = PeLayout(data)
    if not pe.cert_size:
        raise PeError("--after-signature needs a signed executable")
    if pe.cert_offset != pe.end_of_raw or pe.cert_offset + pe.cert_size != len(data):
        raise PeError("the certificate table must follow the last section and end the file")
    win_cert_len = struct.unpack_from("<I", data, pe.cert_offset)[0]
    if win_cert_len != pe.cert_size:
        # The reader seeks the package at E + the first record's length: that must be the
        # table's end, or the package would start inside the certificate directory.
        raise PeError("the certificate table's first record does not fill the table")
    return data + package


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--format", type=int, choices=(2, 5), default=2,
                    help="package version: 2 (legacy records, default) or 5")
    ap.add_argument("--after-signature", action="store_true",
                    help="place the package behind the certificate table of a signed executable")
    ap.add_argument("exe")
    ap.add_argument("manifest")
    ap.add_argument("out")
    args = ap.parse_args(argv)
    with open(args.exe, "rb") as f:
        data = f.read()
    with open(args.manifest, "rb") as f:
        manifest = f.read()
    package = build_package(args.format, manifest)
    try:
        out = append_after_signature(data, package) if args.after_signature else append_plain(data, package)
    except PeError as e:
        print("packwriter: %s: %s" % (args.exe, e), file=sys.stderr)
        return 1
    with open(args.out, "wb") as f:
        f.write(out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
