#!/usr/bin/env python3
"""Fails when code outside the platform layer includes an operating-system
header, or reaches another folder by a relative path.

Only src/platform (the layer itself) may include POSIX or Windows headers.
Exempt on purpose, and nowhere else:
  tests/platform  the tests of the POSIX layer itself (pipes, forks, signals)
  tests/support   the fake peers of the tests (raw loopback sockets)
  bench           the load clients, standalone programs that measure the
                  service from outside and share none of its code

A quoted include that climbs with ".." would slip past the per-folder
include paths that keep every folder to the folders below it, so it counts
as a failure everywhere.

Usage: check_includes.py [SOURCE_ROOT]   (default: the folder above scripts)
"""
import pathlib
import re
import sys

CHECKED = ["src", "tools", "tests"]
EXEMPT = ["src/platform", "tests/platform", "tests/support", "bench"]
SUFFIXES = {".c", ".cc", ".cpp", ".h", ".hpp"}

OS_HEADER = re.compile(
    r"""^\s*\#\s*include\s*<(
        unistd\.h | poll\.h | fcntl\.h | pthread\.h | signal\.h | csignal | dirent\.h
      | netdb\.h | dlfcn\.h | spawn\.h | termios\.h | sched\.h | semaphore\.h | syslog\.h
      | pwd\.h | grp\.h | ifaddrs\.h | sys/[^>]+ | netinet/[^>]+ | arpa/[^>]+ | linux/[^>]+
      | windows\.h | winsock2?\.h | ws2tcpip\.h
    )>""",
    re.VERBOSE,
)
CLIMBING = re.compile(r'^\s*#\s*include\s*"[^"]*\.\./')


def is_exempt(relative: str) -> bool:
    return any(relative == folder or relative.startswith(folder + "/") for folder in EXEMPT)


def main() -> int:
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent.parent)
    failures = []
    for top in CHECKED:
        for path in sorted((root / top).rglob("*")):
            if path.suffix not in SUFFIXES or not path.is_file():
                continue
            relative = path.relative_to(root).as_posix()
            lines = path.read_text(encoding="utf-8", errors="replace").splitlines()
            for number, line in enumerate(lines, 1):
                if CLIMBING.match(line):
                    failures.append(f"{relative}:{number}: relative include: {line.strip()}")
                elif OS_HEADER.match(line) and not is_exempt(relative):
                    failures.append(f"{relative}:{number}: operating-system header outside "
                                    f"src/platform: {line.strip()}")
    for failure in failures:
        print(failure)
    if failures:
        print(f"{len(failures)} include(s) break the layers; use or extend src/platform instead.")
        return 1
    print("includes: no operating-system header outside src/platform")
    return 0


if __name__ == "__main__":
    sys.exit(main())
