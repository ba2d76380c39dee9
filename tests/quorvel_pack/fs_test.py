"""Writing beside a target and swapping it in, and the inside-folder check."""

import os
import tempfile
import unittest
import unittest.mock

from files import snapshot, write_files

from quorvel_pack import fs


class InsideTest(unittest.TestCase):
    def test_inside_a_folder(self):
        with tempfile.TemporaryDirectory() as tmp:
            folder = os.path.join(tmp, "folder")
            write_files(folder, {"a/b.txt": "", "..x/y.txt": ""})
            write_files(tmp, {"folder2/c.txt": "", "elsewhere/d.txt": ""})
            os.symlink(os.path.join(tmp, "elsewhere"), os.path.join(folder, "out"))
            os.symlink("a", os.path.join(folder, "in"))
            os.symlink(folder, os.path.join(tmp, "alias"))
            cases = [
                (folder, True),
                (os.path.join(folder, "a", "b.txt"), True),
                (os.path.join(folder, "a", "..", "a"), True),
                (os.path.join(folder, "..x", "y.txt"), True),  # a name, not the parent
                (os.path.join(folder, "not", "yet", "made"), True),
                (os.path.join(folder, "in", "b.txt"), True),
                (os.path.join(tmp, "alias", "a"), True),
                (os.path.join(folder, ".."), False),
                (os.path.join(folder, "a", "..", ".."), False),
                (os.path.join(tmp, "folder2", "c.txt"), False),  # a longer name beside it
                (os.path.join(folder, "out"), False),
                (os.path.join(folder, "out", "d.txt"), False),
                (tmp, False),
                ("/", False),
            ]
            for path, expected in cases:
                with self.subTest(os.path.relpath(path, tmp)):
                    self.assertEqual(fs.inside(path, folder), expected)
            # The folder given through a link is the same folder.
            self.assertTrue(fs.inside(os.path.join(folder, "a"), os.path.join(tmp, "alias")))


class ReplacingFileTest(unittest.TestCase):
    def test_written_beside_then_renamed_or_removed(self):
        with tempfile.TemporaryDirectory() as tmp:
            output = os.path.join(tmp, "out.zip")
            write_files(tmp, {"out.zip": "old"})
            with fs.replacing_file(output) as partial:
                self.assertEqual(os.path.dirname(partial), tmp)
                self.assertNotEqual(partial, output)
                with open(partial, "w") as f:
                    f.write("new")
                self.assertEqual(snapshot(tmp)["out.zip"], b"old")
            self.assertEqual(snapshot(tmp), {"out.zip": b"new"})
            umask = os.umask(0)
            os.umask(umask)
            self.assertEqual(os.stat(output).st_mode & 0o777, 0o666 & ~umask)

            for raised in (OSError, KeyboardInterrupt):
                with self.subTest(raised.__name__):
                    with self.assertRaises(raised), fs.replacing_file(output) as partial:
                        with open(partial, "w") as f:
                            f.write("half")
                        raise raised()
                    self.assertEqual(snapshot(tmp), {"out.zip": b"new"})


class ReplacingDirectoryTest(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.root = tmp.name
        self.target = os.path.join(self.root, "target")
        write_files(self.target, {"old.txt": "old", "sub/kept.txt": "kept"})
        os.chmod(self.target, 0o750)

    def build(self, path):
        write_files(path, {"new.txt": "new"})

    def test_new_directory_swapped_in_with_the_old_mode(self):
        swapped = []
        with fs.replacing_directory(
            self.target, self.root, ".stage-", lambda: swapped.append(True)
        ) as new:
            self.assertFalse(os.path.exists(new))
            self.assertTrue(os.path.basename(os.path.dirname(new)).startswith(".stage-"))
            self.build(new)
            self.assertEqual(swapped, [])
        self.assertEqual(swapped, [True])
        self.assertEqual(snapshot(self.root), {"target": "dir", "target/new.txt": b"new"})
        self.assertEqual(os.stat(self.target).st_mode & 0o777, 0o750)

    def test_failure_leaves_the_target_and_no_staging(self):
        before = snapshot(self.root)

        def interrupted(new):
            self.build(new)
            raise KeyboardInterrupt

        def exchange_fails(*_):
            raise OSError("no room")

        cases = [
            ("while building", interrupted, KeyboardInterrupt),
            ("at the exchange", self.build, OSError),
        ]
        for name, build, raised in cases:
            with self.subTest(name), self.assertRaises(raised):
                with unittest.mock.patch("quorvel_pack.fs.exchange", exchange_fails):
                    with fs.replacing_directory(self.target, self.root, ".stage-") as new:
                        build(new)
            self.assertEqual(snapshot(self.root), before)

    def test_leftover_staging_removed(self):
        write_files(self.root, {".stage-1/target/x": "", "other/y": ""})
        os.mkdir(os.path.join(self.root, ".stage-2"))
        fs.remove_staging(self.root, ".stage-")
        self.assertEqual(sorted(os.listdir(self.root)), ["other", "target"])


if __name__ == "__main__":
    unittest.main()
