"""Size of the engine's binding code: lines and lines that call the Python API.

Counts non-blank, non-comment lines of src/pipeline, src/vostrel and src/common; a line calls the
Python API when it contains `py::`, `.attr(` or a C-API call `Py...(`. Targets: at most 2,600
lines, at most 800 of them API lines.
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FOLDERS = ("src/pipeline", "src/vostrel", "src/common")
API = re.compile(r"py::|\.attr\(|\bPy[A-Za-z_]*\(")


def code_lines(text: str) -> list[str]:
    lines, in_block = [], False
    for raw in text.splitlines():
        line = raw.strip()
        if in_block:
            if "*/" not in line:
                continue
            line, in_block = line.split("*/", 1)[1].strip(), False
        if line.startswith("/*"):
            if "*/" not in line:
                in_block = True
                continue
            line = line.split("*/", 1)[1].strip()
        if line and not line.startswith("//"):
            lines.append(line)
    return lines


def count(root: Path = ROOT) -> dict[str, tuple[int, int]]:
    counts = {}
    for folder in FOLDERS:
        total = api = 0
        for path in sorted((root / folder).glob("*.[ch]pp")):
            lines = code_lines(path.read_text())
            total += len(lines)
            api += sum(1 for line in lines if API.search(line))
        counts[folder] = (total, api)
    return counts


def main() -> int:
    counts = count(Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT)
    for folder, (total, api) in counts.items():
        print(f"{folder:14} {total:6} lines {api:6} API lines")
    total = sum(t for t, _ in counts.values())
    api = sum(a for _, a in counts.values())
    print(f"{'total':14} {total:6} lines {api:6} API lines (targets: <= 2600, <= 800)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
