#!/usr/bin/env python3
"""Checks the layers of src/: a file in src/<layer>/ includes "<other>/..."
only for its own layer or one below it, and only src/ui/ includes Qt.

    check_layers.py SRC_DIR     check the tree; exit 1 and name each fault
    check_layers.py --self-test check the checker on a small tree with faults
"""
import pathlib
import re
import sys
import tempfile

# Lowest first. Layers of one rank (the two front ends) may not include each
# other. updater shares nothing with the rest, in either direction.
ORDER = [["common"], ["diskio"], ["host"], ["devices"], ["fs"], ["analysis"],
         ["recovery"], ["app"], ["cli", "ui"]]
APART = {"updater"}
RANK = {name: rank for rank, names in enumerate(ORDER) for name in names}
QT_LAYER = "ui"

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
QT_HEADER = re.compile(r"^Qt|^Q[A-Z]")
SOURCE_SUFFIXES = {".h", ".hpp", ".cpp", ".cc", ".c", ".inc"}


def check_tree(src: pathlib.Path) -> list[str]:
    faults = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in SOURCE_SUFFIXES or not path.is_file():
            continue
        rel = path.relative_to(src)
        if len(rel.parts) < 2:
            continue  # files directly in src/ belong to no layer
        layer = rel.parts[0]
        if layer not in RANK and layer not in APART:
            faults.append(f"{rel}: folder '{layer}' is not in the layer order of {pathlib.Path(__file__).name}")
            continue
        lines = path.read_text(encoding="utf-8", errors="replace").splitlines()
        for number, line in enumerate(lines, 1):
            m = INCLUDE.match(line)
            if not m:
                continue
            bracket, target = m.groups()
            where = f"{rel}:{number}"
            if QT_HEADER.match(target) and layer != QT_LAYER:
                faults.append(f"{where}: Qt header <{target}> outside src/{QT_LAYER}")
                continue
            if bracket != '"' or "/" not in target:
                continue
            other = target.split("/", 1)[0]
            if other not in RANK and other not in APART:
                continue  # a path of a library of the system, not a layer
            if layer in APART or other in APART:
                if other != layer:
                    faults.append(f"{where}: \"{target}\" joins {layer} and {other}, which share nothing")
                continue
            if other == layer:
                continue
            if RANK[other] >= RANK[layer]:
                kind = "beside" if RANK[other] == RANK[layer] else "above"
                faults.append(f"{where}: \"{target}\" reaches {other}, a layer {kind} {layer}")
    return faults


def self_test() -> int:
    good = {
        "common/A.h": '#include <string>\n#include <queue>\n',
        "fs/Vol.cpp": '#include "fs/Vol.h"\n#include "devices/D.h"\n#include "common/A.h"\n',
        "ui/Win.cpp": '#include <QWidget>\n#include <QtCore/QString>\n#include "app/O.h"\n',
        "cli/Main.cpp": '#include "app/O.h"\n#include "recovery/S.h"\n',
        "updater/Up.cpp": '#include "Up.h"\n#include <curl/curl.h>\n',
    }
    bad = {
        "devices/D.cpp": '#include "fs/Vol.h"\n',            # upwards
        "fs/X.cpp": '  #  include "analysis/T.h"\n',           # upwards, odd spacing
        "app/O.cpp": '#include <QString>\n',                  # Qt below ui
        "common/B.h": '#include <QtCore/QObject>\n',          # Qt below ui
        "cli/C.cpp": '#include "ui/Win.h"\n',                 # beside
        "updater/U.cpp": '#include "common/A.h"\n',           # apart
        "extra/E.cpp": '#include "common/A.h"\n',             # unknown folder
    }
    ok = True
    with tempfile.TemporaryDirectory() as tmp:
        root = pathlib.Path(tmp)
        for name, text in good.items():
            (root / name).parent.mkdir(parents=True, exist_ok=True)
            (root / name).write_text(text)
        if check_tree(root):
            print("self-test: the good tree was refused:", *check_tree(root), sep="\n  ")
            ok = False
        for name, text in bad.items():
            (root / name).parent.mkdir(parents=True, exist_ok=True)
            (root / name).write_text(text)
            faults = [f for f in check_tree(root) if f.startswith(name)]
            if len(faults) != 1:
                print(f"self-test: {name} ({text.strip()}) gave {faults}")
                ok = False
            (root / name).unlink()
    print("self-test passed" if ok else "self-test FAILED")
    return 0 if ok else 1


def main(argv: list[str]) -> int:
    if argv[1:] == ["--self-test"]:
        return self_test()
    if len(argv) != 2:
        print(__doc__)
        return 2
    faults = check_tree(pathlib.Path(argv[1]))
    for fault in faults:
        print(fault)
    if faults:
        print(f"{len(faults)} include(s) against the layer order {' -> '.join('/'.join(n) for n in ORDER)}")
        return 1
    print("layers in order")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
