#!/usr/bin/env python3
"""Packs the release: DIR/quorvex-VERSION-win32.zip holding the programs
stripped (quorvex.exe, quorvex-capture.exe), README.txt with Windows line ends,
and SHA256SUMS of those. Entries have fixed dates, modes and order, so the same
programs give the same zip.

usage: pack.py STRIP README VERSION DIR EXE...
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
    if len(sys.argv) < 6:
        print(__doc__, file=sys.stderr)
        return 2
    strip, readme, version, out_dir = sys.argv[1:5]
    files = []
    with tempfile.TemporaryDirectory() as work:
        for exe in sys.argv[5:]:
            stripped = os.path.join(work, os.path.basename(exe))
            shutil.copyfile(exe, stripped)
            # strip writes the current time into the headers unless told a date.
            subprocess.run([strip, stripped], check=True,
                           env=dict(os.environ, SOURCE_DATE_EPOCH="0"))
            with open(stripped, "rb") as f:
                files.append((os.path.basename(exe), f.read(), 0o755))
    with open(readme, "rb") as f:
        text = f.read().replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
    files.append(("README.txt", text, 0o644))
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
    sizes = ", ".join(f"{name} {len(data)} bytes" for name, data, mode in files if mode == 0o755)
    print(f"{zip_path}: {sizes} stripped; zip sha256 {digest}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
