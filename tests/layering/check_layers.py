"""The program's folders are floors: a file may include headers of its own
floor and of the floors below it, never of one above. Prints every include
that breaks this and exits 1; exits 0 when there is none.

Usage: check_layers.py <source root>
"""
import pathlib
import re
import sys

# Bottom up.
FLOORS = ["runtime", "platform", "exchange", "ends", "controller", "upload", "app"]

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def floor_of(path):
    first = path.split("/", 1)[0]
    return FLOORS.index(first) if first in FLOORS else None


def main():
    root = pathlib.Path(sys.argv[1]).resolve()
    offences = 0
    checked = 0
    for floor in FLOORS:
        for source in sorted((root / floor).rglob("*")):
            if not source.is_file() or source.suffix not in (".h", ".cpp", ".in"):
                continue
            checked += 1
            own = FLOORS.index(floor)
            relative = source.relative_to(root).as_posix()
            lines = source.read_text(encoding="latin-1").splitlines()
            for number, line in enumerate(lines, 1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                target = floor_of(match.group(1))
                if target is None or target > own:
                    where = "no floor" if target is None else f"floor {FLOORS[target]}/"
                    print(f"{relative}:{number}: {line.strip()}  ({floor}/ may not include {where})")
                    offences += 1
    print(f"{checked} files checked, {offences} includes from above")
    return 1 if offences else 0


if __name__ == "__main__":
    sys.exit(main())
