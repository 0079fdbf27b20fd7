#!/usr/bin/env python3
"""The launcher's import directory names only DLLs that Windows always loads from its own folder
(its known DLLs): any other DLL that stood there would be looked for in the launcher's folder
first, before the launcher's start-up restricts where DLLs load from. Its other system DLLs are
bound on first use (delay-load descriptors, not imports).

Usage: check_imports.py <launcher.exe> [--optional <launcher.exe>]..."""
import struct
import sys

# The known DLLs of Windows (HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\KnownDLLs)
# and the two that every process has loaded before its imports. "gdiplus.dll" is known from
# Windows 10 on only, so it is left out.
KNOWN = {
    "advapi32.dll", "clbcatq.dll", "combase.dll", "comdlg32.dll", "coml2.dll", "difxapi.dll", "gdi32.dll",
    "imagehlp.dll", "imm32.dll", "kernel32.dll", "msctf.dll", "msvcrt.dll", "normaliz.dll",
    "nsi.dll", "ole32.dll", "oleaut32.dll", "psapi.dll", "rpcrt4.dll", "sechost.dll", "setupapi.dll",
    "shcore.dll", "shell32.dll", "shlwapi.dll", "user32.dll", "wldap32.dll", "ws2_32.dll",
    "ntdll.dll", "kernelbase.dll",
}


def imports(path):
    """The DLL names of the PE file's import directory."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] != b"MZ":
        raise ValueError("%s is no PE file" % path)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("%s has no PE header" % path)
    sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    import_rva, import_size = struct.unpack_from("<II", data, directories + 8)
    table = optional + optional_size
    ranges = []
    for i in range(sections):
        virtual_size, rva, raw_size, raw_offset = struct.unpack_from("<IIII", data, table + 40 * i + 8)
        ranges.append((rva, max(virtual_size, raw_size), raw_offset))

    def offset(address):
        for rva, size, raw in ranges:
            if rva <= address < rva + size:
                return raw + address - rva
        raise ValueError("address 0x%x outside every section of %s" % (address, path))

    names = []
    if import_rva == 0:
        return names
    at = offset(import_rva)
    while True:
        fields = struct.unpack_from("<IIIII", data, at)
        if not any(fields):
            return names
        name = offset(fields[3])
        names.append(data[name:data.index(b"\0", name)].decode("ascii"))
        at += 20


def main(argv):
    failures = 0
    optional = False
    checked = 0
    for arg in argv[1:]:
        if arg == "--optional":
            optional = True
            continue
        try:
            open(arg, "rb").close()
        except OSError:
            if optional:
                print("not built here: %s" % arg)
                optional = False
                continue
            raise
        optional = False
        names = imports(arg)
        checked += 1
        print("%s imports %s" % (arg, ", ".join(names)))
        for name in names:
            if name.lower() not in KNOWN:
                print("FAIL: %s imports %s, which is not a known DLL" % (arg, name))
                failures += 1
    if checked == 0:
        print("FAIL: no launcher to check")
        return 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
