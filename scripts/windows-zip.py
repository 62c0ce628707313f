#!/usr/bin/env python3
"""Packs the Windows download so that the same inputs give the same bytes.

    windows-zip.py OUT.zip NAME=PATH...

Entries go in the order given, each dated 1980-01-01 00:00 with no extra
fields and the mode 0644 (rw-r--r--, what unzip gives them). Text files (.txt) get CR LF line ends for
Notepad, and a byte-order mark when they hold anything beyond ASCII, so
that an older Notepad reads them as UTF-8. OUT.zip.sha256 gets the zip's
checksum in the form `sha256sum -c` reads.
"""
import hashlib
import os
import sys
import zipfile

FIXED_DATE = (1980, 1, 1, 0, 0, 0)


def contents(name, path):
    with open(path, "rb") as source:
        data = source.read()
    if not name.endswith(".txt"):
        return data
    data = data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
    if any(byte >= 0x80 for byte in data) and not data.startswith(b"\xef\xbb\xbf"):
        data = b"\xef\xbb\xbf" + data
    return data


def main(argv):
    if len(argv) < 3 or not all("=" in arg for arg in argv[2:]):
        sys.exit(__doc__)
    out = argv[1]
    temporary = out + ".part"
    with zipfile.ZipFile(temporary, "w") as archive:
        for arg in argv[2:]:
            name, path = arg.split("=", 1)
            entry = zipfile.ZipInfo(name, FIXED_DATE)
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.create_system = 3
            entry.external_attr = 0o100644 << 16
            archive.writestr(entry, contents(name, path), compresslevel=9)
    os.replace(temporary, out)
    with open(out, "rb") as packed:
        digest = hashlib.sha256(packed.read()).hexdigest()
    with open(out + ".sha256", "w", newline="\n") as checksum:
        checksum.write(f"{digest}  {os.path.basename(out)}\n")


if __name__ == "__main__":
    main(sys.argv)
