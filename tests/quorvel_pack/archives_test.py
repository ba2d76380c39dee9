"""What an archive request is refused for before anything is packed, and
the application's name it is given."""

import os
import tempfile
import unittest
import unittest.mock

from quorvel_pack import PackError, archives
from quorvel_pack.identity import Identity
from quorvel_pack.options import ArchiveOptions


class RequestTest(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.tmp = tmp.name
        self.installation = os.path.join(self.tmp, "installation")
        self.app = os.path.join(self.tmp, "greeter")
        os.makedirs(os.path.join(self.installation, "lib"))
        os.mkdir(self.app)

    def test_name_of_an_accepted_request(self):
        out = os.path.join(self.tmp, "out")
        cases = [
            ("tarball", ArchiveOptions(out + ".tar.gz", self.app), "greeter"),
            ("named", ArchiveOptions(out + ".ZIP", self.app, Identity(name="Demo")), "Demo"),
            ("dot", ArchiveOptions(out + ".zip", os.path.join(self.app, ".")), "greeter"),
            (
                "package",
                ArchiveOptions(out + ".deb", self.app, Identity(version="1.0", summary="Greets")),
                "greeter",
            ),
        ]
        for name, options, expected in cases:
            with self.subTest(name):
                self.assertEqual(archives.check_request(self.installation, options), expected)

    def test_refused_before_packing(self):
        out = os.path.join(self.tmp, "out")
        lib = os.path.join(self.installation, "lib")
        cases = [
            ("inside the installation", os.path.join(lib, "x.zip"), {}, "cannot be written inside"),
            ("the installation itself", self.installation, {}, "cannot be written inside"),
            ("no directory", os.path.join(self.tmp, "none", "x.zip"), {}, "no writable directory"),
            ("named after the root", out + ".zip", {"app": "/"}, "'': not usable as"),
            ("unknown type", out + ".rar", {}, "unknown archive type; name it .tar.gz, .zip"),
            ("a bad time", out + ".zip", {"epoch": "now"}, "SOURCE_DATE_EPOCH=now: not a number"),
            ("no version", out + ".deb", {"summary": "Greets"}, "needs --version"),
        ]
        for name, output, given, refusal in cases:
            options = ArchiveOptions(
                output, given.get("app", self.app), Identity(summary=given.get("summary"))
            )
            environment = {"SOURCE_DATE_EPOCH": given["epoch"]} if "epoch" in given else {}
            with self.subTest(name), unittest.mock.patch.dict(os.environ, environment):
                with self.assertRaises(PackError) as refused:
                    archives.check_request(self.installation, options)
                self.assertIn(refusal, str(refused.exception))
        self.assertEqual(sorted(os.listdir(self.tmp)), ["greeter", "installation"])


if __name__ == "__main__":
    unittest.main()
