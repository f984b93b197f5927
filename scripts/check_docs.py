#!/usr/bin/env python3
"""Check the relative links of the documentation: README.md and docs/**/*.md.

Every link and image whose target is a path in the repository must name a
file or folder that exists, and a `#anchor` must name a heading (or an HTML
`id`/`name`) of the Markdown file it points into. Anchors are made the way
GitHub makes them: the heading's text lower-cased, everything but letters,
digits, spaces, hyphens and underscores dropped, each space turned into a
hyphen; a repeated heading gets -1, -2, ... Links inside code (fenced blocks
and `inline code`) are not links and are skipped, and so are links to other
sites (anything with a scheme, such as https: or mailto:). A picture in
docs/ that no page links is reported too, so none is left behind when text
moves.

    python3 scripts/check_docs.py [ROOT]

prints each broken link as FILE:LINE: TARGET: WHY and exits 1 when there is
one; otherwise prints how many links it checked and exits 0. Only the
standard library is used, so it runs before any set-up.
"""
from __future__ import annotations

import argparse
import re
import sys
from dataclasses import dataclass
from pathlib import Path
from urllib.parse import unquote

# [text](target "title") and ![alt](target); the text may hold one level of
# brackets (an image inside a link, `[x]` in prose).
INLINE_LINK = re.compile(
    r"(!?)\[(?:[^\[\]]|\[[^\[\]]*\])*\]\(\s*(<[^>]*>|[^\s()]*(?:\([^\s()]*\)[^\s()]*)*)"
    r"(?:\s+(?:\"[^\"]*\"|'[^']*'|\([^)]*\)))?\s*\)")
REFERENCE_DEF = re.compile(r"^ {0,3}\[[^\]]+\]:\s*(<[^>]*>|\S+)")
HTML_TARGET = re.compile(r"<(?:a|img|source)\b[^>]*?\b(?:href|src)\s*=\s*[\"']([^\"']+)[\"']", re.I)
HTML_ANCHOR = re.compile(r"<[a-z][^>]*?\b(?:id|name)\s*=\s*[\"']([^\"']+)[\"']", re.I)
ATX_HEADING = re.compile(r"^ {0,3}(#{1,6})(?:[ \t]+(.*?))?(?:[ \t]+#+)?[ \t]*$")
SETEXT_RULE = re.compile(r"^ {0,3}(=+|-+)[ \t]*$")
FENCE = re.compile(r"^ {0,3}(`{3,}|~{3,})")
CODE_SPAN = re.compile(r"(`+)(?:(?!\1).)+?\1")
SCHEME = re.compile(r"^[a-zA-Z][a-zA-Z0-9+.-]*:|^//")
# GitHub's line anchors into a source file: #L10 or #L10-L20.
LINE_ANCHOR = re.compile(r"^L\d+(?:-L\d+)?$")
PICTURES = (".png", ".jpg", ".jpeg", ".gif", ".svg", ".webp")


@dataclass(frozen=True)
class Broken:
    file: Path
    line: int
    target: str
    why: str

    def __str__(self) -> str:
        if not self.line:
            return f"{self.file}: {self.why}"
        return f"{self.file}:{self.line}: {self.target}: {self.why}"


def slug(heading: str) -> str:
    """GitHub's anchor for a heading's text (before de-duplication)."""
    text = re.sub(r"!?\[((?:[^\[\]]|\[[^\[\]]*\])*)\]\([^)]*\)", r"\1", heading)  # links: their text
    text = re.sub(r"<[^>]+>", "", text)  # inline HTML tags
    return re.sub(r"[^\w\- ]", "", text.strip().lower()).replace(" ", "-")


def _prose_lines(text: str) -> list[tuple[int, str]]:
    """(line number, line) of every line outside fenced code blocks."""
    out: list[tuple[int, str]] = []
    fence: str | None = None
    for number, line in enumerate(text.split("\n"), 1):
        m = FENCE.match(line)
        if fence is None and m:
            fence = m.group(1)[0] * len(m.group(1))
            continue
        if fence is not None:
            if line.strip().startswith(fence) and not line.strip().strip(fence[0]):
                fence = None
            continue
        out.append((number, line))
    return out


def anchors(text: str) -> set[str]:
    """Every anchor a Markdown file offers: heading slugs (repeats numbered
    as GitHub does) and HTML id/name attributes."""
    found: set[str] = set()
    seen: dict[str, int] = {}

    def add(heading: str) -> None:
        base = slug(heading)
        name = base
        while name in found:
            seen[base] = seen.get(base, 0) + 1
            name = f"{base}-{seen[base]}"
        found.add(name)

    previous = ""
    for _, line in _prose_lines(text):
        m = ATX_HEADING.match(line)
        if m:
            add(m.group(2) or "")
        elif SETEXT_RULE.match(line) and previous.strip() and not ATX_HEADING.match(previous):
            add(previous)
        found.update(HTML_ANCHOR.findall(line))
        previous = line
    return found


def links(text: str) -> list[tuple[int, str]]:
    """(line number, target) of every link, image and reference definition
    outside code."""
    out: list[tuple[int, str]] = []
    for number, line in _prose_lines(text):
        prose = CODE_SPAN.sub(lambda m: " " * len(m.group(0)), line)
        for m in INLINE_LINK.finditer(prose):
            out.append((number, m.group(2).strip("<>")))
        m = REFERENCE_DEF.match(prose)
        if m:
            out.append((number, m.group(1).strip("<>")))
        out.extend((number, t) for t in HTML_TARGET.findall(prose))
    return out


def documents(root: Path) -> list[Path]:
    docs = sorted((root / "docs").rglob("*.md")) if (root / "docs").is_dir() else []
    readme = root / "README.md"
    return ([readme] if readme.is_file() else []) + docs


def check(root: Path) -> tuple[list[Broken], int]:
    """The broken links under `root`, and how many links were checked."""
    root = root.resolve()
    cache: dict[Path, set[str]] = {}
    broken: list[Broken] = []
    linked: set[Path] = set()
    checked = 0
    for doc in documents(root):
        rel = doc.relative_to(root)
        text = doc.read_text(encoding="utf-8")
        for line, target in links(text):
            if not target or SCHEME.match(target):
                continue
            checked += 1
            path_part, _, anchor = target.partition("#")
            path_part = unquote(path_part.split("?", 1)[0])
            dest = (doc.parent / path_part).resolve() if path_part else doc
            if path_part.startswith("/"):
                dest = (root / path_part.lstrip("/")).resolve()
            if dest != root and root not in dest.parents:
                broken.append(Broken(rel, line, target, "points outside the repository"))
                continue
            if not dest.exists():
                broken.append(Broken(rel, line, target, "no such file"))
                continue
            linked.add(dest)
            if not anchor:
                continue
            anchor = unquote(anchor)
            if dest.suffix.lower() != ".md":
                if not (dest.is_file() and LINE_ANCHOR.match(anchor)):
                    broken.append(Broken(rel, line, target, "anchors work only in Markdown files "
                                         "(or #L<line> in a source file)"))
                continue
            if dest not in cache:
                cache[dest] = anchors(dest.read_text(encoding="utf-8"))
            if anchor not in cache[dest]:
                broken.append(Broken(rel, line, target,
                                     f"no heading with the anchor #{anchor} in {dest.relative_to(root)}"))
    pictures = sorted(p for p in (root / "docs").rglob("*") if p.suffix.lower() in PICTURES) \
        if (root / "docs").is_dir() else []
    broken.extend(Broken(p.relative_to(root), 0, "", "picture linked from no page")
                  for p in pictures if p.resolve() not in linked)
    return broken, checked


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("root", nargs="?", default=str(Path(__file__).resolve().parent.parent),
                        help="the repository's root (default: this script's repository)")
    args = parser.parse_args(argv)
    root = Path(args.root)
    if not documents(root):
        print(f"check_docs: no README.md or docs/*.md under {root}", file=sys.stderr)
        return 1
    broken, checked = check(root)
    for b in broken:
        print(b, file=sys.stderr)
    if broken:
        print(f"check_docs: {len(broken)} broken link(s) of {checked}", file=sys.stderr)
        return 1
    print(f"check_docs: {checked} relative links and anchors in {len(documents(root))} files, none broken")
    return 0


if __name__ == "__main__":
    sys.exit(main())
