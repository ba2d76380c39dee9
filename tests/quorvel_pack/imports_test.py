"""The packing tool's modules import one another without a cycle: a cycle
works only while its imports stay in the right order, and breaks when one
moves."""

import ast
import os
import tempfile
import unittest

import quorvel_pack
from files import write_files

PACKAGE = os.path.dirname(quorvel_pack.__file__)


def import_graph(package_dir):
    """{module: the package's modules it imports} from the relative imports."""
    modules = {name[:-3] for name in os.listdir(package_dir) if name.endswith(".py")}
    graph = {}
    for module in modules:
        with open(os.path.join(package_dir, module + ".py"), encoding="utf-8") as f:
            tree = ast.parse(f.read())
        imported = set()
        for node in ast.walk(tree):
            if isinstance(node, ast.ImportFrom) and node.level == 1:
                names = [node.module] if node.module else [alias.name for alias in node.names]
                imported.update(name.split(".")[0] for name in names)
        graph[module] = sorted(imported & modules)
    return graph


def find_cycle(graph):
    """A list of modules that import one another round to the first, or []."""
    done = set()

    def visit(module, path):
        if module in path:
            return path[path.index(module) :] + [module]
        if module in done:
            return []
        for imported in graph[module]:
            cycle = visit(imported, path + [module])
            if cycle:
                return cycle
        done.add(module)
        return []

    for module in sorted(graph):
        cycle = visit(module, [])
        if cycle:
            return cycle
    return []


class ImportCycleTest(unittest.TestCase):
    def test_package_has_no_import_cycle(self):
        graph = import_graph(PACKAGE)
        self.assertIn("fs", graph["install"])
        self.assertEqual(find_cycle(graph), [])

    def test_cycle_is_found(self):
        with tempfile.TemporaryDirectory() as tmp:
            write_files(
                tmp,
                {
                    "__init__.py": "",
                    "a.py": "from . import b\n",
                    "b.py": "from .c import value\n",
                    "c.py": "from . import a\nvalue = 1\n",
                    "d.py": "from . import a\n",
                },
            )
            self.assertEqual(find_cycle(import_graph(tmp)), ["a", "b", "c", "a"])


if __name__ == "__main__":
    unittest.main()
