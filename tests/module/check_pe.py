#!/usr/bin/env python3
"""Reads SorvaneBMPVintage.DLL with pefile, a PE reader independent of the
toolchain that wrote it, and checks its export table, the DLLs it imports
and its resources (version record and type library).

    check_pe.py DLL [--machine i386|amd64|arm64|armnt] [--program bmpvintage.exe]
                [--core libbmpvintage-1.dll --symbols libbmpvintage.symbols]

--machine: the processor both files must be for (PE32 for i386 and armnt,
the Thumb-2 ARMv7; PE32+ for amd64 and arm64); --program: the command-line
program, a console executable for the same processor importing only system
DLLs; --core: the core library's DLL, for the same processor, exporting by
name exactly the calls of the symbol list (its lines name@version), and
importing only system DLLs."""
import argparse
import struct
import sys

import pefile

RT_VERSION = 16
LANG_EN_US = 1033
STRINGS = {
    "CompanyName": "",
    "FileDescription": "SorvaneBMPVintage DLL",
    "FileVersion": "1, 0, 0, 1",
    "InternalName": "SorvaneBMPVintage",
    "LegalCopyright": "Copyright (c) 2026 The SorvaneBMPVintage authors. MIT licence.",
    "LegalTrademarks": "",
    "OriginalFilename": "SorvaneBMPVintage.DLL",
    "ProductName": "SorvaneBMPVintage Dynamic Link Library",
    "ProductVersion": "1, 0, 0, 1",
    "OLESelfRegister": "",
}
# What Windows itself provides; anything else would have to travel with the DLL.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "user32.dll", "advapi32.dll", "ntdll.dll"}
# The Universal CRT's API sets, part of Windows 10 and later.
SYSTEM_PREFIXES = ("api-ms-win-crt-",)


def system_dll(name):
    return name in SYSTEM_DLLS or name.startswith(SYSTEM_PREFIXES)


failures = []


def check(ok, what):
    if not ok:
        failures.append(what)


def exports(pe):
    d = pe.DIRECTORY_ENTRY_EXPORT
    check(pe.get_string_at_rva(d.struct.Name) == b"SORVANEBMPVINTAGE.dll",
          "export directory names the module SORVANEBMPVINTAGE.dll")
    check(d.struct.Base == 1, "ordinal base 1")
    check(d.struct.NumberOfFunctions == 1 and d.struct.NumberOfNames == 1,
          "one function, one name")
    check([(s.ordinal, s.name) for s in d.symbols] == [(1, b"BMPVintage")],
          "only BMPVintage, at ordinal 1: %r" % [(s.ordinal, s.name) for s in d.symbols])
    check(all(s.forwarder is None for s in d.symbols), "no forwarders")


def imports(pe):
    names = {e.dll.decode().lower() for e in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    check(names and all(map(system_dll, names)), "imports only system DLLs: %s" % sorted(names))


def resource(pe, type_match):
    """(id, language, data) of every resource of the matching type."""
    found = []
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if not type_match(t):
            continue
        for n in t.directory.entries:
            for lang in n.directory.entries:
                e = lang.data.struct
                found.append((n.id, lang.id, pe.get_data(e.OffsetToData, e.Size)))
    return found


def version_record(pe):
    check(len(resource(pe, lambda t: t.id == RT_VERSION)) == 1, "one version resource")
    fixed = pe.VS_FIXEDFILEINFO[0]
    check(fixed.Signature == 0xFEEF04BD, "fixed-info signature")
    check((fixed.FileVersionMS, fixed.FileVersionLS) == (0x00010000, 1), "file version 1.0.0.1")
    check((fixed.ProductVersionMS, fixed.ProductVersionLS) == (0x00010000, 1),
          "product version 1.0.0.1")
    check(fixed.FileFlagsMask == 0x3F, "flags mask 0x3F")
    check(fixed.FileFlags == 0, "flags 0")
    check(fixed.FileOS == 4, "operating system 4")
    check(fixed.FileType == 2, "file type 2")
    check(fixed.FileSubtype == 0, "subtype 0")
    check((fixed.FileDateMS, fixed.FileDateLS) == (0, 0), "no date")

    tables = []
    translations = []
    for info in pe.FileInfo[0]:
        if info.Key == b"StringFileInfo":
            tables += info.StringTable
        elif info.Key == b"VarFileInfo":
            for var in info.Var:
                translations.append(var.entry)
    check([t.LangID for t in tables] == [b"040904B0"] or
          [t.LangID for t in tables] == [b"040904b0"], "one string table, 040904B0")
    if tables:
        got = {k.decode(): v.decode() for k, v in tables[0].entries.items()}
        check(got == STRINGS, "version strings: %r" % got)
    translations = [{k: (v.decode() if isinstance(v, bytes) else v).lower() for k, v in t.items()}
                    for t in translations]
    check(translations == [{b"Translation": "0x0409 0x04b0"}],
          "one translation, 0x0409 with code page 1200: %r" % translations)


def type_library(pe):
    libs = resource(pe, lambda t: t.name is not None and str(t.name) == "TYPELIB")
    check([(i, lang) for i, lang, _ in libs] == [(1, LANG_EN_US)], "TYPELIB 1, language 1033")
    if not libs:
        return
    data = libs[0][2]
    (magic1, magic2, _posguid, lcid, _lcid2, varflags, version, _flags, typeinfos, helpstring,
     _hsctx, _hctx, _names, _chars, _nameoff, helpfile) = struct.unpack_from("<4sI14i", data)
    check(magic1 == b"MSFT", "a compiled (MSFT) type library")
    check(lcid == 0x0409, "locale 0x0409")
    check(varflags & 0xF == 1, "for 32-bit Windows (SYS_WIN32)")
    check(version == 1, "version 1.0")
    check(typeinfos == 0, "no type descriptions")
    check(helpstring == -1 and helpfile == -1, "no help string, no help file")
    check(b"S\0o\0r\0v\0a\0n\0e\0B\0M\0P\0V\0i\0n\0t\0a\0g\0e" not in data and
          b"SorvaneBMPVintage" in data, "the library's name")


# IMAGE_FILE_MACHINE_* and the optional header magic that goes with it.
MACHINES = {"i386": (0x014C, 0x10B), "amd64": (0x8664, 0x20B), "arm64": (0xAA64, 0x20B),
            "armnt": (0x01C4, 0x10B)}
IMAGE_FILE_DLL = 0x2000
IMAGE_SUBSYSTEM_WINDOWS_CUI = 3


def machine(pe, name, what):
    want, magic = MACHINES[name]
    check(pe.FILE_HEADER.Machine == want and pe.OPTIONAL_HEADER.Magic == magic,
          "%s for %s: machine 0x%04X, magic 0x%X" %
          (what, name, pe.FILE_HEADER.Machine, pe.OPTIONAL_HEADER.Magic))


def program(path, name):
    pe = pefile.PE(path)
    check(not pe.FILE_HEADER.Characteristics & IMAGE_FILE_DLL, "the program is not a DLL")
    check(pe.OPTIONAL_HEADER.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_CUI, "a console program")
    if name:
        machine(pe, name, "the program")
    names = {e.dll.decode().lower() for e in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    check(names and all(map(system_dll, names)),
          "the program imports only system DLLs: %s" % sorted(names))


def core(path, name, symbols):
    pe = pefile.PE(path)
    if name:
        machine(pe, name, "the core DLL")
    with open(symbols) as f:
        want = sorted(line.split("@")[0] for line in f if line.startswith("bmpv_"))
    got = sorted(str(s.name and s.name.decode()) for s in pe.DIRECTORY_ENTRY_EXPORT.symbols)
    check(want and got == want, "the core exports by name exactly %r: %r" % (want, got))
    imports(pe)


def main():
    args = argparse.ArgumentParser()
    args.add_argument("dll")
    args.add_argument("--machine", choices=sorted(MACHINES))
    args.add_argument("--program")
    args.add_argument("--core")
    args.add_argument("--symbols")
    args = args.parse_args()
    pe = pefile.PE(args.dll)
    check(pe.FILE_HEADER.Characteristics & IMAGE_FILE_DLL, "a DLL")
    if args.machine:
        machine(pe, args.machine, "the DLL")
    if args.program:
        program(args.program, args.machine)
    if args.core:
        core(args.core, args.machine, args.symbols)
    exports(pe)
    imports(pe)
    version_record(pe)
    type_library(pe)
    for f in failures:
        print("check failed:", f)
    if not failures:
        print("all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
