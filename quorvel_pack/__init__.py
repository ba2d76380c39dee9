"""Turns an application into a quorvel installation that can be handed out.

One module each:
- what is shipped: `analysis` (the application's files and checks),
  `statements` (import statements read from bytecode), `by_name` (imports
  by a name kept as a string, and lazy "moves" tables), `closure` (the
  search for the modules those reach), `distributions` (the third-party distributions in a
  directory and their metadata), `needs` (what the application needs, from
  the modules it reaches), `explain` (what a pack tells about that),
  `native` (the shared libraries the binaries need), `pack_cache` (what was
  learnt about unchanged files);
- the Linux installation: `installation` (reading one), `planning` (what
  goes where in the new lib/), `startup` (the generated __startup__),
  `install` (writing lib/ and swapping it in), `toplevel` (the named
  program, icons and licences beside lib/);
- the application's identity: `identity` (its name, version, icon and
  licence), `icons` (its hicolor icons), `ico` (the images of a Windows
  icon), `licences` (licenses/ and its index);
- archives: `archives` (checking a request and writing it), `tarball`,
  `zipball` and `debian` (the .tar.gz, .zip and .deb), `members` (what they
  share);
- Windows: `windows` (the folder from the embeddable runtime), `pe` (the
  machine and imports of a PE file), `pe_resources` (quorvel.exe with the
  application's icon and version block), `windows_identity` (the named
  program and licences of the folder);
- shared: `fs` (writing beside a target and swapping it in under a lock,
  trees of any depth), `layout` (names in an installation), `rules` (the
  rule lists in data/); `cli` reads the command line into the `options` of
  each operation.
"""


class PackError(Exception):
    """A refusal: the message is shown as one line, and nothing was changed."""
