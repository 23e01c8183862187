"""Refuse a module of src/corvane over 400 lines or a function over 60.

A module counts every line of its file; a function every line from its
`def` to its last line, docstring and comments included, nested functions
inside their parent's count.  Past these a reader can no longer hold the
piece in view: split it by what it does.

    python tools/sizes.py       # exit 1 and name each one over
"""
import ast
import pathlib
import sys

SOURCE = pathlib.Path(__file__).resolve().parent.parent / "src" / "corvane"
MODULE_LINES = 400
FUNCTION_LINES = 60


def over(path):
    """[(what, lines, limit)] of `path`'s module and functions past their limit."""
    text = path.read_text(encoding="utf-8")
    found = []
    lines = len(text.splitlines())
    if lines > MODULE_LINES:
        found.append(("module", lines, MODULE_LINES))
    for node in ast.walk(ast.parse(text)):
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            span = node.end_lineno - node.lineno + 1
            if span > FUNCTION_LINES:
                found.append(("{} (line {})".format(node.name, node.lineno), span, FUNCTION_LINES))
    return found


def main():
    failed = False
    for path in sorted(SOURCE.rglob("*.py")):
        for what, lines, limit in over(path):
            print("{}: {}: {} lines, over {}".format(path.relative_to(SOURCE.parent.parent), what, lines, limit))
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
