"""scripts/check_docs.py, the link and anchor check of README.md and docs/."""
from __future__ import annotations

import importlib.util
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
_spec = importlib.util.spec_from_file_location("check_docs", ROOT / "scripts" / "check_docs.py")
assert _spec is not None and _spec.loader is not None
check_docs = importlib.util.module_from_spec(_spec)
sys.modules["check_docs"] = check_docs  # dataclasses look their module up there
_spec.loader.exec_module(check_docs)


def tree(root: Path, files: dict[str, str]) -> Path:
    for name, text in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text, encoding="utf-8")
    return root


def reported(root: Path) -> list[tuple[str, int, str]]:
    broken, _ = check_docs.check(root)
    return [(str(b.file), b.line, b.target) for b in broken]


def test_reports_exactly_the_broken_link_and_the_broken_anchor(tmp_path, capsys):
    root = tree(tmp_path, {
        "README.md": "# Demo\n\nSee [the guide](docs/guide.md#setting-up), [gone](docs/gone.md)\n"
                     "and [nowhere](docs/guide.md#tearing-down).\n",
        "docs/guide.md": "# Guide\n\n## Setting up\n\ntext\n",
    })
    assert reported(root) == [("README.md", 3, "docs/gone.md"),
                              ("README.md", 4, "docs/guide.md#tearing-down")]
    assert check_docs.main([str(root)]) == 1
    err = capsys.readouterr().err
    assert "README.md:3: docs/gone.md: no such file" in err
    assert "README.md:4: docs/guide.md#tearing-down: no heading with the anchor #tearing-down" in err
    assert "2 broken link(s) of 3" in err


@pytest.mark.parametrize("heading, anchor", [
    ("Worst legal costs", "worst-legal-costs"),
    ("The core's functions", "the-cores-functions"),
    ("`islands(path, eps, margin) -> dict`", "islandspath-eps-margin---dict"),
    ("JSON (`--format json`, `NAME.json`)", "json---format-json-namejson"),
    ("OBJ + MTL", "obj--mtl"),
    ("snake_case and kebab-case", "snake_case-and-kebab-case"),
    ("Größe und Maße", "größe-und-maße"),
    ("See [the title](a.md) first", "see-the-title-first"),
    ("Closed heading ##", "closed-heading"),
], ids=["words", "apostrophe", "call-signature", "code-and-parens", "plus-sign", "underscore-kept",
        "non-ascii-letters", "link-text-only", "closing-hashes"])
def test_heading_anchors_are_githubs(tmp_path, heading, anchor):
    root = tree(tmp_path, {"README.md": f"[here](docs/a.md#{anchor})\n",
                           "docs/a.md": f"# Title\n\n## {heading}\n"})
    assert reported(root) == []


@pytest.mark.parametrize("text, broken", [
    ("## Notes\n## Notes\n## Notes\n[a](#notes) [b](#notes-1) [c](#notes-2) [d](#notes-3)\n", ["#notes-3"]),
    ("Setext title\n------------\n[a](#setext-title) [b](#setext)\n", ["#setext"]),
    ('<a id="kept-here"></a>\n[a](#kept-here) [b](#kept-there)\n', ["#kept-there"]),
    ("```sh\n# not a heading\n[x](missing.md)\n```\n[a](#not-a-heading)\n", ["#not-a-heading"]),
    ("Run `[x](missing.md)` and [y](https://example.org/missing.md) or [m](mailto:a@b.c).\n", []),
    ("![picture](pic.png) ![lost](lost.png) [dir](.) [up](../../outside.md)\n",
     ["lost.png", "../../outside.md"]),
    ("[ref]: nowhere.md\n[line](pic.png#L3) [section](pic.png#top)\n", ["nowhere.md", "pic.png#top"]),
    ("[spaced](with%20space.md) [bracketed](<with space.md>)\n", []),
], ids=["repeated-headings-numbered", "setext-heading", "html-anchor", "fenced-code-skipped",
        "inline-code-and-other-sites-skipped", "images-folders-and-escapes",
        "reference-links-and-anchors-in-non-markdown", "encoded-paths"])
def test_what_counts_as_a_broken_link(tmp_path, text, broken):
    root = tree(tmp_path, {"README.md": "# Top\n![p](docs/pic.png)\n", "docs/page.md": text, "docs/pic.png": "",
                           "docs/with space.md": "# Spaced\n"})
    assert [target for _, _, target in reported(root)] == broken


def test_the_repositorys_own_docs_have_no_broken_link():
    broken, checked = check_docs.check(ROOT)
    assert [str(b) for b in broken] == []
    assert checked > 100  # README.md and docs/ link to each other throughout


def test_a_picture_no_page_links_is_reported(tmp_path, capsys):
    root = tree(tmp_path, {"README.md": "![shown](docs/shown.png)\n", "docs/shown.png": "",
                           "docs/left-behind.png": "", "docs/notes.txt": ""})
    assert check_docs.main([str(root)]) == 1
    assert capsys.readouterr().err.splitlines()[0] == "docs/left-behind.png: picture linked from no page"
