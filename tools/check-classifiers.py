"""Fails when a wheel declares a classifier that the index does not know."""
import sys
import zipfile
from email.parser import Parser

from trove_classifiers import classifiers

unknown = []
for path in sys.argv[1:]:
    with zipfile.ZipFile(path) as wheel:
        name = next(n for n in wheel.namelist() if n.endswith(".dist-info/METADATA"))
        meta = Parser().parsestr(wheel.read(name).decode())
    unknown += [f"{path}: unknown classifier {c!r}" for c in meta.get_all("Classifier") or []
                if c not in classifiers]
print("\n".join(unknown) or f"classifiers: all known ({len(sys.argv) - 1} wheels)")
sys.exit(1 if unknown else 0)
