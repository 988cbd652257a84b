#!/usr/bin/env python3
"""Packs the release: DIR/quorvex-VERSION-win32.zip holding the stripped
quorvex.exe, README.txt with Windows line ends, and SHA256SUMS of the two.
Entries have fixed dates, modes and order, so one quorvex.exe gives one zip.

usage: pack.py EXE STRIP README VERSION DIR
"""

import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile


def entry(name, mode):
    info = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
    info.create_system = 3  # permissions as Unix modes
    info.external_attr = (0o100000 | mode) << 16
    info.compress_type = zipfile.ZIP_DEFLATED
    return info


def main():
    if len(sys.argv) != 6:
        print(__doc__, file=sys.stderr)
        return 2
    exe, strip, readme, version, out_dir = sys.argv[1:]
    with tempfile.TemporaryDirectory() as work:
        stripped = os.path.join(work, "quorvex.exe")
        shutil.copyfile(exe, stripped)
        # strip writes the current time into the headers unless told a date.
        subprocess.run([strip, stripped], check=True, env=dict(os.environ, SOURCE_DATE_EPOCH="0"))
        with open(stripped, "rb") as f:
            program = f.read()
    with open(readme, "rb") as f:
        text = f.read().replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
    files = [("quorvex.exe", program, 0o755), ("README.txt", text, 0o644)]
    sums = "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\n" for name, data, _ in files)
    files.append(("SHA256SUMS", sums.encode("ascii"), 0o644))

    os.makedirs(out_dir, exist_ok=True)
    zip_path = os.path.join(out_dir, f"quorvex-{version}-win32.zip")
    partial = zip_path + ".partial"
    with zipfile.ZipFile(partial, "w") as z:
        for name, data, mode in files:
            z.writestr(entry(name, mode), data, compresslevel=9)
    os.replace(partial, zip_path)
    with open(zip_path, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    print(f"{zip_path}: quorvex.exe {len(program)} bytes stripped; zip sha256 {digest}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
