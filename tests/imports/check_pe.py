#!/usr/bin/env python3
"""Reads a shipped program (quorvex.exe, quorvex-capture.exe), or the release zip
holding them, with pefile.

usage: check_pe.py [--version V] [--max-bytes N] [--program NAME] [--patch OLD NEW]... FILE

For a program: a 32-bit console program for subsystem 5.01 with no link time
stamp, a version record (product quorvex, original file name NAME.exe, file
and product version V) and one manifest (identity NAME) asking for administrator rights in the
form Windows XP SP3 loads, naming the systems from Vista to 10 and 11.
For a zip (FILE ends in .zip): exactly quorvex.exe, quorvex-capture.exe,
README.txt and SHA256SUMS, in that order, with fixed dates; SHA256SUMS holds the
right sums; README.txt has Windows line ends; then both programs inside it as
above.

--max-bytes limits the size of the program as it is (quorvex.exe, stripped, in
the zip). --program NAME is the program's name, quorvex unless given.
--patch checks a copy in which every UTF-8 and UTF-16LE occurrence of OLD is
replaced by NEW (same length): it plants a fault to show that a check sees it.

Prints what it read, then one "FAIL:" line per fault; exits 1 if there is any.
"""

import argparse
import hashlib
import io
import os
import sys
import xml.etree.ElementTree as ET
import zipfile

try:
    import pefile
except ImportError:
    print(f"FAIL: {sys.executable} cannot import pefile (Debian: python3-pefile)")
    sys.exit(1)

ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
ASM_V2 = "urn:schemas-microsoft-com:asm.v2"
ASM_V3 = "urn:schemas-microsoft-com:asm.v3"
COMPAT = "urn:schemas-microsoft-com:compatibility.v1"
SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}": "Windows Vista",
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "Windows 7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "Windows 8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "Windows 8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "Windows 10 and 11",
}
RT_VERSION, RT_MANIFEST = 16, 24
PROGRAMS = ["quorvex.exe", "quorvex-capture.exe"]
ZIP_ENTRIES = PROGRAMS + ["README.txt", "SHA256SUMS"]
ZIP_DATE = (1980, 1, 1, 0, 0, 0)

faults = []


def fail(text):
    faults.append(text)


def quad(version):
    parts = version.split(".") + ["0"] * 4
    return ".".join(parts[:4])


def dotted(ms, ls):
    return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"


def resources(pe, type_id):
    """(name id, data) of every resource of one type."""
    found = []
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return found
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind.id != type_id:
            continue
        for name in kind.directory.entries:
            for lang in name.directory.entries:
                at = lang.data.struct
                found.append((name.id, pe.get_data(at.OffsetToData, at.Size)))
    return found


def check_headers(pe):
    fh, oh = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    print(f"machine: {fh.Machine:#06x}, subsystem: {oh.Subsystem}, subsystem version: "
          f"{oh.MajorSubsystemVersion}.{oh.MinorSubsystemVersion:02d}, time stamp: {fh.TimeDateStamp:#x}")
    if fh.Machine != 0x14C or oh.Magic != 0x10B:
        fail(f"not a 32-bit x86 program (machine {fh.Machine:#06x})")
    if oh.Subsystem != 3:
        fail(f"subsystem {oh.Subsystem} is not console (3)")
    if (oh.MajorSubsystemVersion, oh.MinorSubsystemVersion) != (5, 1):
        fail(f"subsystem version {oh.MajorSubsystemVersion}.{oh.MinorSubsystemVersion} is not 5.01")
    if fh.TimeDateStamp != 0:
        fail(f"link time stamp {fh.TimeDateStamp:#x} is set: two builds would differ")


def check_version(pe, version, program):
    if not resources(pe, RT_VERSION):
        fail("no version resource")
        return
    fixed = pe.VS_FIXEDFILEINFO[0]
    file_v = dotted(fixed.FileVersionMS, fixed.FileVersionLS)
    product_v = dotted(fixed.ProductVersionMS, fixed.ProductVersionLS)
    strings = {}
    for info in pe.FileInfo[0] if pe.FileInfo else []:
        for table in getattr(info, "StringTable", []):
            strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    print(f"version: file {file_v}, product {product_v}, strings {strings}")
    if version is not None:
        if file_v != quad(version):
            fail(f"file version {file_v} is not {quad(version)}")
        if product_v != quad(version):
            fail(f"product version {product_v} is not {quad(version)}")
    expected = {"ProductName": "quorvex", "OriginalFilename": f"{program}.exe"}
    if version is not None:
        expected.update(FileVersion=quad(version), ProductVersion=version)
    for key, value in expected.items():
        if strings.get(key) != value:
            fail(f"{key} is {strings.get(key)!r}, not {value!r}")
    if not strings.get("FileDescription"):
        fail("no FileDescription")


def check_manifest(pe, version, program):
    manifests = resources(pe, RT_MANIFEST)
    if not manifests:
        fail("no manifest (resource type 24, id 1)")
        return
    if [m[0] for m in manifests] != [1]:
        fail(f"manifests with ids {[m[0] for m in manifests]}, not one with id 1")
        return
    try:
        root = ET.fromstring(manifests[0][1])
    except ET.ParseError as e:
        fail(f"manifest is not well-formed XML: {e}")
        return
    if root.tag != f"{{{ASM_V1}}}assembly" or root.get("manifestVersion") != "1.0":
        fail(f"manifest root is {root.tag}, not an asm.v1 assembly of manifestVersion 1.0")
    identity = root.find(f"{{{ASM_V1}}}assemblyIdentity")
    if identity is None:
        fail("manifest has no assemblyIdentity, which Windows XP needs")
    else:
        if identity.get("type") != "win32" or identity.get("processorArchitecture") != "x86":
            fail(f"assemblyIdentity is not type win32 for x86: {identity.attrib}")
        if identity.get("name") != program:
            fail(f"assemblyIdentity name {identity.get('name')!r} is not {program!r}")
        if version is not None and identity.get("version") != quad(version):
            fail(f"assemblyIdentity version {identity.get('version')} is not {quad(version)}")
    path = (f"{{{ASM_V2}}}trustInfo/{{{ASM_V2}}}security/{{{ASM_V3}}}requestedPrivileges/"
            f"{{{ASM_V3}}}requestedExecutionLevel")
    level = root.find(path)
    if level is None:
        fail("no requestedExecutionLevel in an asm.v2 trustInfo with asm.v3 requestedPrivileges"
             " (the form Windows XP loads)")
    else:
        print(f"manifest: requestedExecutionLevel {level.attrib}")
        if level.get("level") != "requireAdministrator":
            fail(f"requested execution level is {level.get('level')!r}, not 'requireAdministrator'")
        if level.get("uiAccess") != "false":
            fail(f"uiAccess is {level.get('uiAccess')!r}, not 'false'")
    named = [e.get("Id") for e in root.iterfind(f"{{{COMPAT}}}compatibility/{{{COMPAT}}}application/"
                                                f"{{{COMPAT}}}supportedOS")]
    print(f"manifest: supportedOS {', '.join(SUPPORTED_OS.get(i, i) for i in named)}")
    for guid, system in SUPPORTED_OS.items():
        if guid not in named:
            fail(f"supportedOS does not name {system} {guid}")
    for guid in named:
        if guid not in SUPPORTED_OS:
            fail(f"supportedOS names an unknown system {guid}")


def check_program(data, version, max_bytes, program="quorvex"):
    print(f"size: {len(data)} bytes")
    if max_bytes is not None and len(data) > max_bytes:
        fail(f"{len(data)} bytes is above the limit of {max_bytes} bytes")
    try:
        pe = pefile.PE(data=data)
    except pefile.PEFormatError as e:
        fail(f"not a PE program: {e}")
        return
    check_headers(pe)
    check_version(pe, version, program)
    check_manifest(pe, version, program)


def check_zip(path, data, version, max_bytes):
    if version is not None and os.path.basename(path) != f"quorvex-{version}-win32.zip":
        fail(f"{path} is not named quorvex-{version}-win32.zip")
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        infos = z.infolist()
        print(f"zip: {[(i.filename, i.file_size) for i in infos]}")
        if [i.filename for i in infos] != ZIP_ENTRIES:
            fail(f"zip holds {[i.filename for i in infos]}, not {ZIP_ENTRIES}")
        for i in infos:
            if i.date_time != ZIP_DATE:
                fail(f"{i.filename} is dated {i.date_time}, not the fixed {ZIP_DATE}")
        members = {i.filename: z.read(i) for i in infos}
    if "SHA256SUMS" in members:
        sums = members["SHA256SUMS"].decode("ascii", "replace").splitlines()
        wanted = [f"{hashlib.sha256(members[n]).hexdigest()}  {n}" for n in ZIP_ENTRIES[:-1] if n in members]
        print("SHA256SUMS:\n  " + "\n  ".join(sums))
        if sums != wanted:
            fail(f"SHA256SUMS does not hold the sums of the programs and README.txt: {wanted}")
    text = members.get("README.txt", b"")
    if b"\n" in text.replace(b"\r\n", b""):
        fail("README.txt has line ends without carriage returns")
    for name in PROGRAMS:
        if name in members:
            print(f"--- {name}")
            check_program(members[name], version, max_bytes if name == "quorvex.exe" else None,
                          name[:-4])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--version")
    parser.add_argument("--max-bytes", type=int)
    parser.add_argument("--program", default="quorvex", help="quorvex or quorvex-capture")
    parser.add_argument("--patch", nargs=2, action="append", default=[], metavar=("OLD", "NEW"))
    parser.add_argument("file")
    args = parser.parse_args()
    try:
        with open(args.file, "rb") as f:
            data = f.read()
    except OSError as e:
        print(f"FAIL: cannot read {args.file}: {e}")
        return 1
    for old, new in args.patch:
        if len(old) != len(new):
            print(f"--patch {old!r} {new!r}: not the same length", file=sys.stderr)
            return 2
        count = 0
        for enc in ("utf-8", "utf-16-le"):
            count += data.count(old.encode(enc))
            data = data.replace(old.encode(enc), new.encode(enc))
        if count == 0:
            print(f"--patch: {old!r} is not in {args.file}", file=sys.stderr)
            return 2
        print(f"planted: {old!r} -> {new!r} ({count} times)")
    print(f"file: {args.file}")
    if args.file.endswith(".zip"):
        try:
            check_zip(args.file, data, args.version, args.max_bytes)
        except zipfile.BadZipFile as e:
            fail(f"not a readable zip: {e}")
    else:
        check_program(data, args.version, args.max_bytes, args.program)
    for text in faults:
        print(f"FAIL: {text}")
    if faults:
        print(f"{len(faults)} fault(s)")
        return 1
    print("ok: version, manifest and console subsystem 5.01 as shipped")
    return 0


if __name__ == "__main__":
    sys.exit(main())
