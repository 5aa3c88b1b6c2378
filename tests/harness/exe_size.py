#!/usr/bin/python3
"""Checks that an executable is at most LIMIT bytes on disk.

    /usr/bin/python3 tests/harness/exe_size.py path/to/StonewakeBuilder-Setup.exe LIMIT

Prints the file's size and each section's size in memory and on disk, so that
a build over the limit shows where it grew; exits 1 when the file is over
LIMIT bytes, 2 when it cannot be read as a PE image, 0 otherwise.
"""

import os
import sys

import pefile


def main(path, limit):
    try:
        image = pefile.PE(path, fast_load=True)
    except (OSError, pefile.PEFormatError) as error:
        print(f"{path}: {error}")
        return 2
    size = os.path.getsize(path)
    print(f"{path}: {size:,} bytes (limit {limit:,})")
    for section in image.sections:
        name = section.Name.rstrip(b"\0").decode("ascii", "replace")
        print(f"  {name:8} {section.Misc_VirtualSize:>9,} in memory {section.SizeOfRawData:>7,} on disk")
    if size > limit:
        print(f"{path} is {size - limit:,} bytes over its limit")
        return 1
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], int(sys.argv[2])))
