"""The command line read into each operation's options."""

import unittest

from quorvel_pack import PackError, cli
from quorvel_pack.identity import Identity
from quorvel_pack.options import ArchiveOptions, PackOptions, WindowsOptions


def parsed(*words):
    return cli.parse_arguments([*words, "app", "dist"])


class OptionsTest(unittest.TestCase):
    def test_each_operation_gets_its_options(self):
        args = parsed("--path", "a", "--path", "b", "--exclude", "x", "--source", "--no-gc-freeze")
        found = Identity(name="g")
        self.assertEqual(
            cli.pack_options(args, found),
            PackOptions(
                as_source=True, paths=("a", "b"), excludes=("x",), freeze_gc=False, identity=found
            ),
        )
        args = parsed("--runtime", "embed.zip", "--native-path", "n", "--entry", "m:f")
        self.assertEqual(
            cli.windows_options(args, found),
            WindowsOptions(runtime="embed.zip", native_paths=("n",), entry="m:f", identity=found),
        )
        args = parsed("--archive", "g.deb", "--name", "g", "--version", "1", "--summary", "s")
        found = Identity(name="g", version="1", summary="s")
        self.assertEqual(cli.identity_of(args), found)
        self.assertEqual(cli.archive_options(args, found), ArchiveOptions("g.deb", "app", found))

    def test_windows_refuses_what_does_not_apply(self):
        cases = [
            (("--path", "p"), "--path does not apply with --runtime"),
            (("--include", "m"), "--include does not apply with --runtime"),
            (("--exclude", "m"), "--exclude does not apply with --runtime"),
            (("--archive", "App.tar.gz"), "App.tar.gz: a Windows folder is shipped as a .zip"),
        ]
        for words, refusal in cases:
            with self.subTest(words):
                with self.assertRaises(PackError) as refused:
                    cli.windows_options(parsed("--runtime", "embed.zip", *words), Identity())
                self.assertIn(refusal, str(refused.exception))


if __name__ == "__main__":
    unittest.main()
