"""Packs the release archive so that the same files always give the same bytes: entries in
name order, each dated SOURCE_DATE_EPOCH (the source's last commit when it is unset), with fixed
permissions and compression, and a SHA256SUMS entry for the others.

usage: pack.py ARCHIVE SOURCE_DIR NAME=FILE...
"""
import hashlib
import os
import subprocess
import sys
import time
import zipfile


def epoch(source):
    if os.environ.get("SOURCE_DATE_EPOCH"):
        return int(os.environ["SOURCE_DATE_EPOCH"])
    git = subprocess.run(["git", "-C", source, "log", "-1", "--format=%ct"],
                         capture_output=True, text=True)
    if git.returncode != 0 or not git.stdout.strip():
        sys.exit("pack.py: not a git checkout; set SOURCE_DATE_EPOCH to the source's time")
    return int(git.stdout)


def main():
    archive, source, *pairs = sys.argv[1:]
    files = {}
    for pair in pairs:
        name, path = pair.split("=", 1)
        with open(path, "rb") as f:
            files[name] = f.read()
    # CRLF so that Notepad shows one file a line; sha256sum -c reads it too.
    files["SHA256SUMS"] = "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\r\n"
                                  for name, data in sorted(files.items())).encode()

    # Zip times are DOS times: no zone, from 1980, in two-second steps.
    date = time.gmtime(max(epoch(source), 315532800))[:6]
    partial = archive + ".part"
    with zipfile.ZipFile(partial, "w") as z:
        for name in sorted(files):
            entry = zipfile.ZipInfo(name, date)
            entry.create_system = 3
            entry.external_attr = 0o100644 << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(entry, files[name], compresslevel=9)
    os.replace(partial, archive)


main()
