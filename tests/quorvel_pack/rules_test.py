"""The rule lists: the shipped files load, a damaged one is refused in one
line, and the left-out parts of the standard library are matched by name."""

import json
import os
import tempfile
import unittest

from quorvel_pack import PackError, rules

SHAPE = {"about": "text", "names": "names", "table": "table"}
GOOD = {"about": "why", "names": ["a", "b"], "table": {"x": ["y"]}}


class LoadTest(unittest.TestCase):
    def test_shipped_rule_lists(self):
        self.assertIn("libc.so.6", rules.linux_base_libraries())
        self.assertIn("kernel32", rules.windows_system_dlls().names)
        self.assertIn("api-ms-win-", rules.windows_system_dlls().prefixes)
        imports = rules.stdlib_imports()
        self.assertEqual(imports.whole_packages["encodings"], ("encodings",))
        self.assertIn("os.path", imports.provided_at_run_time)
        self.assertEqual(imports.run_time_imports["time"], ("_strptime",))
        third_party = rules.third_party_imports()
        self.assertEqual(third_party.moves["six.moves"]["queue"], "queue")
        self.assertIn("TCL_LIBRARY", {d.environment for d in third_party.outside_data})
        self.assertIn("conftest.py", third_party.test_suite_files)
        self.assertIn("tkinter", rules.stdlib_left_out().names)

    def test_damaged_rule_list_refused_in_one_line(self):
        cases = [
            ("valid", json.dumps(GOOD), None),
            ("not JSON", "{names: [a]}", "unreadable rule list (Expecting property name"),
            ("a list", "[]", "expected an object with the keys about, names, table"),
            ("a key missing", json.dumps({"about": "", "names": []}), "expected an object"),
            ("a key too many", json.dumps({**GOOD, "more": 1}), "expected an object"),
            ("text not a string", json.dumps({**GOOD, "about": 1}), "about must be a string"),
            ("names a string", json.dumps({**GOOD, "names": "a"}), "names must be a list"),
            ("a name not a string", json.dumps({**GOOD, "names": [1]}), "names must be a list"),
            ("an empty name", json.dumps({**GOOD, "names": [""]}), "names must be a list"),
            ("a name twice", json.dumps({**GOOD, "names": ["a", "a"]}), "names must be a list"),
            ("a table of strings", json.dumps({**GOOD, "table": {"x": "y"}}), "table must be"),
            ("a table as a list", json.dumps({**GOOD, "table": [["y"]]}), "table must be"),
        ]
        with tempfile.TemporaryDirectory() as data_dir:
            path = os.path.join(data_dir, "rule.json")
            for name, text, refusal in cases:
                with self.subTest(name):
                    with open(path, "w") as f:
                        f.write(text)
                    if refusal is None:
                        self.assertEqual(rules.load("rule.json", SHAPE, data_dir), GOOD)
                        continue
                    with self.assertRaises(PackError) as refused:
                        rules.load("rule.json", SHAPE, data_dir)
                    message = str(refused.exception)
                    self.assertTrue(message.startswith(path + ": "), message)
                    self.assertIn(refusal, message)
                    self.assertNotIn("\n", message)
            with self.assertRaises(PackError) as refused:
                rules.load("missing.json", SHAPE, data_dir)
            self.assertIn("missing.json: unreadable rule list", str(refused.exception))


class LeftOutTest(unittest.TestCase):
    def test_standard_library_parts_left_out(self):
        cases = [
            ("tkinter", True),
            ("turtle.py", True),
            ("__hello__.py", True),
            ("test", True),
            ("_testcapi.cpython-311-x86_64-linux-gnu.so", True),
            ("_ctypes_test.cpython-311-x86_64-linux-gnu.so", True),
            ("xxlimited.cpython-311-x86_64-linux-gnu.so", True),
            ("config-3.11-x86_64-linux-gnu", True),
            ("site-packages", True),
            ("os.py", False),
            ("turtles.py", False),
            ("testing.py", False),
            ("json", False),
            ("_ctypes.cpython-311-x86_64-linux-gnu.so", False),
            ("unittest", False),
        ]
        for name, expected in cases:
            with self.subTest(name):
                self.assertEqual(rules.left_out_of_stdlib(name), expected)


if __name__ == "__main__":
    unittest.main()
