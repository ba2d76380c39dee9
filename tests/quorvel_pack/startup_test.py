"""The generated start-up module: its reading of multiprocessing's command
lines, and run bound to the application's entry."""

import os
import sys
import tempfile
import unittest
import unittest.mock

from quorvel_pack import startup


def generated_module(argv):
    """The generated start-up module's namespace, as in a process with argv."""
    namespace = {}
    saved = sys.argv
    sys.argv = argv
    try:
        exec(startup.startup_module_source("no_such_entry_module", "run"), namespace)
    except ImportError:
        pass  # the entry is not importable here; the helpers are defined
    finally:
        sys.argv = saved
    return namespace


class MultiprocessingCommandTest(unittest.TestCase):
    def test_children_of_multiprocessing_are_recognised(self):
        exe = "/opt/app/quorvel"
        tracker = "from multiprocessing.resource_tracker import main;main(5)"
        forkserver = (
            "from multiprocessing.forkserver import main; main(3, 4, ['__main__'], "
            "**{'sys_path': ['/opt/app/lib'], 'main_path': None})"
        )
        spawn = (
            "from multiprocessing.spawn import spawn_main; spawn_main(tracker_fd=5, "
            "pipe_handle=7)"
        )
        cases = [
            (
                [exe, "-E", "-S", "-c", tracker],
                ("multiprocessing.resource_tracker", "main", [5], {}),
            ),
            (
                [exe, "-E", "-s", "-c", forkserver],
                (
                    "multiprocessing.forkserver",
                    "main",
                    [3, 4, ["__main__"]],
                    {"sys_path": ["/opt/app/lib"], "main_path": None},
                ),
            ),
            (
                [exe, "-c", spawn, "--multiprocessing-fork"],
                ("multiprocessing.spawn", "spawn_main", [], {"tracker_fd": 5, "pipe_handle": 7}),
            ),
            ([exe, "--multiprocessing-fork", "tracker_fd=5", "pipe_handle=7"], "spawn"),
            # The application's own command lines.
            ([exe], None),
            ([exe, "input.txt", "-c", tracker], None),
            ([exe, "-c"], None),
            ([exe, "-c", tracker + "; import os"], None),
            ([exe, "-c", "from multiprocessing.resource_tracker import main;main(fd)"], None),
            ([exe, "-c", "from multiprocessing.spawn import spawn_main; main(1)"], None),
            ([exe, "-c", "from multiprocessing.util import main;main(5)"], None),
            ([exe, "-c", "from os import system; system('true')"], None),
            ([exe, "-c", "from multiprocessing.resource_tracker import main as m;m(5)"], None),
        ]
        recognise = generated_module([exe])["_multiprocessing_command"]
        for argv, expected in cases:
            with self.subTest(argv=argv[1:]):
                self.assertEqual(recognise(argv), expected)

    def test_run_is_the_entry_itself_outside_children(self):
        with tempfile.TemporaryDirectory() as tmp:
            with open(os.path.join(tmp, "entry_mod.py"), "w") as f:
                f.write("def start():\n    return 'started'\n")
            sys.path.insert(0, tmp)
            self.addCleanup(sys.path.remove, tmp)
            namespace = {}
            exec(startup.startup_module_source("entry_mod", "start", freeze_gc=False), namespace)
            self.assertIs(namespace["run"], sys.modules["entry_mod"].start)
            self.assertTrue(sys.frozen)
            del sys.frozen

    def test_data_outside_packages_is_found_beside_the_start_up_module(self):
        # Whatever the user's environment says.
        with tempfile.TemporaryDirectory() as tmp:
            with open(os.path.join(tmp, "entry_data.py"), "w") as f:
                f.write("import os\ndef start():\n    return os.environ['TCL_LIBRARY']\n")
            sys.path.insert(0, tmp)
            self.addCleanup(sys.path.remove, tmp)
            with unittest.mock.patch.dict(os.environ, {"TCL_LIBRARY": "/usr/share/tcltk/tcl8.6"}):
                source = startup.startup_module_source(
                    "entry_data", "start", False, {"TCL_LIBRARY": "tcl/8.6"}
                )
                namespace = {"__file__": os.path.join(tmp, "lib", "__startup__.pyc")}
                exec(source, namespace)
                del sys.frozen
                seen = namespace["run"]()
            self.assertEqual(seen, os.path.join(tmp, "lib", "tcl", "8.6"))


if __name__ == "__main__":
    unittest.main()
