"""The ```python blocks of the Markdown documentation, as runnable units.

A block runs in a fresh namespace, compiled under its Markdown file's name and
with its real line numbers, so a traceback points at the line to fix. A line
that prints may state what it prints in a trailing `# -> text` comment; running
the block checks that claim.

As a script it writes each block to its own .py file for the type checkers:
    python tests/docblocks.py OUTDIR README.md docs/reference.md
"""

from __future__ import annotations

import dataclasses
import pathlib
import re
import sys
from typing import Any

ROOT = pathlib.Path(__file__).resolve().parent.parent
# The type stubs as the checkout holds them.
STUBS = ROOT / "src" / "stubs" / "orvu_sdk_core-stubs" / "__init__.pyi"

_FENCE = re.compile(r"^(`{3,})\s*(\S*)\s*$")
_CLAIM = re.compile(r"#\s*->\s?(.*?)\s*$")


@dataclasses.dataclass(frozen=True)
class Block:
    path: str  # relative to the repository root
    line: int  # line of the first code line in the Markdown file
    source: str

    @property
    def label(self) -> str:
        return f"{self.path}:{self.line}"

    def claims(self) -> dict[int, list[str]]:
        """File line -> what its `# -> text` comment says the line prints. Comment-only
        `# -> text` lines right below add further lines of output to the code above them."""
        found: dict[int, list[str]] = {}
        owner = None
        for offset, text in enumerate(self.source.splitlines()):
            match = _CLAIM.search(text)
            comment_only = text.lstrip().startswith("#")
            if not comment_only:
                owner = self.line + offset if text.strip() else None
            if match and owner is not None:
                found.setdefault(owner, []).append(match.group(1))
            elif comment_only and not match:
                owner = None
        return found


def python_blocks(relative: str, root: pathlib.Path = ROOT) -> list[Block]:
    """Every fenced block whose info string is `python`, in file order."""
    lines = (root / relative).read_text(encoding="utf-8").splitlines()
    blocks, fence, language, start, body = [], None, "", 0, []
    for number, text in enumerate(lines, start=1):
        match = _FENCE.match(text)
        if fence is None:
            if match:
                fence, language, start, body = match.group(1), match.group(2), number + 1, []
        elif match and match.group(1) == fence and not match.group(2):
            if language == "python":
                blocks.append(Block(relative, start, "\n".join(body) + "\n"))
            fence = None
        else:
            body.append(text)
    if fence is not None:
        raise ValueError(f"{relative}:{start - 1}: code fence is never closed")
    return blocks


def _padded(block: Block) -> str:
    return "\n" * (block.line - 1) + block.source


def run(block: Block, namespace: dict[str, Any] | None = None) -> dict[int, list[str]]:
    """Executes the block; returns what `print` wrote, by the line of the block's
    top level that printed it."""
    printed: dict[int, list[str]] = {}

    def recording_print(*values: Any, sep: str | None = " ", end: str | None = "\n",
                        file: Any = None, flush: bool = False) -> None:
        # A print inside a function of the block counts for the line that called it.
        line, frame = 0, sys._getframe(1)
        while frame is not None:
            if frame.f_code.co_filename == block.path:
                line = frame.f_lineno
            frame = frame.f_back
        printed.setdefault(line, []).append((" " if sep is None else sep).join(map(str, values)))

    # Padding keeps the Markdown line numbers; dont_inherit keeps this module's
    # `from __future__ import annotations` away from the block.
    code = compile(_padded(block), block.path, "exec", dont_inherit=True)
    if namespace is None:
        namespace = {}
    namespace.update(__name__="__main__", print=recording_print)
    exec(code, namespace)
    return printed


def false_claims(block: Block) -> list[str]:
    """Runs the block; one line per `# -> text` claim that its output contradicts."""
    printed = run(block)
    return [f"{block.path}:{line}: claims {expected!r}, printed {printed.get(line, [])!r}"
            for line, expected in block.claims().items() if printed.get(line, []) != expected]


def write_for_type_checkers(outdir: pathlib.Path, paths: list[str]) -> list[pathlib.Path]:
    """One module per block, named after its file and line; blank lines in front keep
    the Markdown line numbers in the checkers' messages."""
    outdir.mkdir(parents=True, exist_ok=True)
    written = []
    for relative in paths:
        stem = re.sub(r"\W", "_", relative.removesuffix(".md")).lower()
        for block in python_blocks(relative):
            target = outdir / f"{stem}_{block.line}.py"
            target.write_text(_padded(block), encoding="utf-8")
            written.append(target)
    return written


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit("usage: docblocks.py OUTDIR FILE.md...")
    for written in write_for_type_checkers(pathlib.Path(sys.argv[1]), sys.argv[2:]):
        print(written)
