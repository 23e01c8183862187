"""Refuse import circles among the modules of src/corvane.

Every import counts, also one made inside a function or through
importlib: a module that imports one importing it back loads half-made in
some order, and the circle hides which of them owns what.

    python tools/import_cycles.py            # exit 1 and name each circle
    python tools/import_cycles.py --graph    # print who imports whom
"""
import ast
import pathlib
import sys

PACKAGE = "corvane"
SOURCE = pathlib.Path(__file__).resolve().parent.parent / "src" / PACKAGE


def imported(tree, modules):
    """The package's modules that `tree` imports, in any of the ways Python allows."""
    found = set()
    for node in ast.walk(tree):
        names = []
        if isinstance(node, ast.Import):
            names = [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module:
            names = [node.module] + ["{}.{}".format(node.module, alias.name) for alias in node.names]
        elif (isinstance(node, ast.Call) and getattr(node.func, "attr", None) == "import_module"
              and node.args and isinstance(node.args[0], ast.Constant)):
            names = [node.args[0].value]
        for name in names:
            parts = name.split(".")
            if parts[0] == PACKAGE and len(parts) > 1 and parts[1] in modules:
                found.add(parts[1])
    return found


def graph():
    modules = {path.stem: path for path in sorted(SOURCE.glob("*.py")) if path.stem != "__init__"}
    return {name: sorted(imported(ast.parse(path.read_text()), modules) - {name})
            for name, path in modules.items()}


def circles(edges):
    """Strongly connected groups of more than one module (Tarjan)."""
    index, low, stack, on_stack, groups = {}, {}, [], set(), []

    def visit(node):
        index[node] = low[node] = len(index)
        stack.append(node)
        on_stack.add(node)
        for other in edges[node]:
            if other not in index:
                visit(other)
                low[node] = min(low[node], low[other])
            elif other in on_stack:
                low[node] = min(low[node], index[other])
        if low[node] == index[node]:
            group = []
            while True:
                member = stack.pop()
                on_stack.discard(member)
                group.append(member)
                if member == node:
                    break
            if len(group) > 1:
                groups.append(sorted(group))

    for node in edges:
        if node not in index:
            visit(node)
    return groups


def main(argv):
    edges = graph()
    if "--graph" in argv:
        for name, targets in edges.items():
            print("{} -> {}".format(name, ", ".join(targets) or "-"))
    found = circles(edges)
    for group in found:
        print("import circle in src/{}: {}".format(PACKAGE, " <-> ".join(group)), file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
