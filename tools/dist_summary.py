"""One line per archive of a dist directory: name, size, wheel tags and the
number of files (`make dist`; the full listing is in the log)."""

import sys
import tarfile
import zipfile
from pathlib import Path


def describe(path):
    size = f"{path.stat().st_size / 1024:.0f} KiB"
    if path.suffix == ".whl":
        with zipfile.ZipFile(path) as wheel:
            names = wheel.namelist()
            meta = next(n for n in names if n.endswith(".dist-info/WHEEL"))
            tags = [line.split(":", 1)[1].strip() for line in wheel.read(meta).decode().splitlines()
                    if line.startswith("Tag:")]
        return f"{path.name}: {size}, {len(names)} files, tags {', '.join(tags)}"
    with tarfile.open(path) as sdist:
        files = [m for m in sdist.getmembers() if m.isfile()]
    return f"{path.name}: {size}, {len(files)} files"


if __name__ == "__main__":
    for archive in sorted(Path(sys.argv[1]).glob("*.*")):
        if archive.suffix == ".whl" or archive.name.endswith(".tar.gz"):
            print("  " + describe(archive))
