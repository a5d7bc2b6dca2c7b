#!/usr/bin/env python3
"""Checks the links of README.md and docs/*.md.

    doc_links.py SOURCE_DIR

Every relative link and image must name a file or folder that exists, and a
`#anchor` (alone, or after a page's name) must be a heading of that page,
spelt as GitHub spells its anchors. README.md must link to every page of
docs/. Links inside code (fenced blocks, `spans`) are not links. Standard
library only."""
import functools
import re
import sys
from pathlib import Path

LINK = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)\)")
HEADING = re.compile(r"(#{1,6})\s+(.*?)\s*#*\s*$")


def prose(text):
    """The numbered lines of a Markdown text outside fenced code."""
    fenced = False
    for n, line in enumerate(text.splitlines(), start=1):
        if line.startswith("```"):
            fenced = not fenced
            continue
        if not fenced:
            yield n, line


def anchor(heading):
    """GitHub's anchor of a heading: its text in lower case, without
    punctuation but '-' and '_', each blank a '-'."""
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", heading)  # a link: its text
    text = re.sub(r"<[^>]+>|[*`]", "", text)  # tags, emphasis, code
    return re.sub(r"[^\w\- ]", "", text.lower()).replace(" ", "-")


@functools.lru_cache(maxsize=None)  # a page is read once, however many links name it
def anchors(page):
    found, seen = set(), {}
    for _, line in prose(page.read_text()):
        m = HEADING.fullmatch(line)
        if m:
            base = anchor(m.group(2))
            n = seen.get(base, 0)
            seen[base] = n + 1
            found.add(base if n == 0 else f"{base}-{n}")
    return found


def check(root):
    """(failures, number of links checked) of the pages under root."""
    pages = [root / "README.md"] + sorted((root / "docs").glob("*.md"))
    failures, count, from_readme = [], 0, set()
    for page in pages:
        where = page.relative_to(root)
        for n, line in prose(page.read_text()):
            # a code span is no link, but may be a link's text
            bare = re.sub(r"`[^`]*`", "x", line)
            for target in LINK.findall(bare):
                if re.match(r"[a-z][a-z0-9+.-]*:", target):
                    continue  # http:, mailto: ...
                count += 1
                path, _, name = target.partition("#")
                dest = (page.parent / path).resolve() if path else page
                if not dest.exists():
                    failures.append(f"{where}:{n}: {target}: no such file")
                elif name and (dest.suffix != ".md" or name not in anchors(dest)):
                    failures.append(f"{where}:{n}: {target}: no heading with that anchor")
                elif page == pages[0]:
                    from_readme.add(dest)
    for page in pages[1:]:
        if page.resolve() not in from_readme:
            failures.append(f"README.md: no link to {page.relative_to(root)}")
    return failures, count


def main():
    root = Path(sys.argv[1]).resolve()
    failures, count = check(root)
    for f in failures:
        print(f"FAIL: {f}")
    if not failures:
        print(f"PASS: {count} links resolve")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
