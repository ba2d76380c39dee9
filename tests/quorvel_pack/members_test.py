"""What every archive shares: member order, modes, time and links."""

import os
import stat
import tempfile
import unittest
import unittest.mock

from files import write_files

from quorvel_pack import PackError, members


class SourceDateEpochTest(unittest.TestCase):
    def test_time_of_every_member(self):
        cases = [
            (None, members.DEFAULT_EPOCH),
            ("", members.DEFAULT_EPOCH),
            ("0", 0),
            ("1700000000", 1700000000),
            ("-1", PackError),
            ("1.5", PackError),
            (" 12", PackError),
            ("soon", PackError),
        ]
        for value, expected in cases:
            with self.subTest(value=value):
                environment = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
                if value is not None:
                    environment["SOURCE_DATE_EPOCH"] = value
                with unittest.mock.patch.dict(os.environ, environment, clear=True):
                    if expected is PackError:
                        with self.assertRaises(PackError) as refused:
                            members.source_date_epoch()
                        self.assertEqual(
                            str(refused.exception),
                            "SOURCE_DATE_EPOCH=%s: not a number of seconds" % value,
                        )
                    else:
                        self.assertEqual(members.source_date_epoch(), expected)


class MembersTest(unittest.TestCase):
    def test_normal_modes(self):
        cases = [
            (stat.S_IFDIR | 0o700, 0o755),
            (stat.S_IFREG | 0o600, 0o644),
            (stat.S_IFREG | 0o666, 0o644),
            (stat.S_IFREG | 0o700, 0o755),
            (stat.S_IFREG | 0o610, 0o755),  # executable by anyone at all
            (stat.S_IFREG | 0o4755, 0o755),  # no set-user-ID bit
        ]
        for mode, expected in cases:
            with self.subTest(oct(mode)):
                self.assertEqual(members.normal_mode(mode), expected)

    def test_sorted_parents_first_without_left_out_parts(self):
        with tempfile.TemporaryDirectory() as tmp:
            write_files(
                tmp,
                {
                    "b.txt": "",
                    "a/z.txt": "",
                    "a/__pycache__/m.pyc": "",
                    "share/applications/x.desktop": "",
                    "share/icons/i.png": "",
                    "A.txt": "",
                },
            )
            found = [m for m, _ in members.members(tmp, ("share/applications",))]
            self.assertEqual(
                found,
                ["A.txt", "a", "a/z.txt", "b.txt", "share", "share/icons", "share/icons/i.png"],
            )

    def test_tree_reads_replaced_and_added_entries_from_where_they_are_staged(self):
        with tempfile.TemporaryDirectory() as tmp:
            write_files(
                tmp,
                {
                    "folder/lib/old.py": "",
                    "folder/share/icons/i.png": "",
                    "folder/Old": "",
                    "stage/lib/new.py": "",
                    "stage/App": "",
                    "stage/share/icons/hicolor/a.png": "",
                },
            )
            stage = os.path.join(tmp, "stage")
            tree = members.Tree(
                os.path.join(tmp, "folder"),
                ("Old",),
                (
                    ("lib", os.path.join(stage, "lib")),
                    ("App", os.path.join(stage, "App")),
                    ("share/icons/hicolor", os.path.join(stage, "share/icons/hicolor")),
                ),
            )
            found = {m: os.path.relpath(p, tmp) for m, p in members.tree_members(tree)}
            self.assertEqual(
                found,
                {
                    "App": "stage/App",
                    "lib": "stage/lib",
                    "lib/new.py": "stage/lib/new.py",
                    "share": "folder/share",
                    "share/icons": "folder/share/icons",
                    "share/icons/hicolor": "stage/share/icons/hicolor",
                    "share/icons/hicolor/a.png": "stage/share/icons/hicolor/a.png",
                    "share/icons/i.png": "folder/share/icons/i.png",
                },
            )
            self.assertEqual(list(found), sorted(found))

    def test_links_kept_only_when_relative_and_inside(self):
        with tempfile.TemporaryDirectory() as tmp:
            folder = os.path.join(tmp, "folder")
            write_files(tmp, {"folder/lib/libx.so.1": "", "outside.txt": ""})
            cases = [
                ("lib/libx.so", "libx.so.1", "libx.so.1"),
                ("up", "lib/../lib/libx.so.1", "lib/../lib/libx.so.1"),
                ("itself", ".", "."),
                ("absolute", os.path.join(folder, "lib", "libx.so.1"), None),
                ("leaves", "../outside.txt", None),
                ("dangling", "lib/missing", None),
            ]
            for name, target, expected in cases:
                with self.subTest(name):
                    path = os.path.join(folder, *name.split("/"))
                    os.symlink(target, path)
                    self.assertEqual(members.link_inside(folder, path), expected)


if __name__ == "__main__":
    unittest.main()
