"""Turns an application into a quorvel installation that can be handed out.

One module each: `analysis` (the application's files and checks), `closure`
(which modules it needs), `native` (the shared libraries those need),
`installation` (reading an installation), `planning` (what goes where in
the new lib/), `install` (writing it and swapping it in), `archives`
(distributable archives and packages: `tarball`, `zipball`, `debian`, with
what they share in `members`), `windows` and `pe` (the Windows folder from
the embeddable runtime), `fs` (writing beside a target and swapping it in
under a lock, trees of any depth),
`layout` (names in an installation), `rules` (the rule lists in data/);
`cli` reads the command line into the `options` of each operation.
"""


class PackError(Exception):
    """A refusal: the message is shown as one line, and nothing was changed."""
