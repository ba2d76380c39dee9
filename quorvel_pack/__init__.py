"""Turns an application into a quorvel installation that can be handed out.

One module each: `analysis` (which modules the application needs),
`native` (the shared libraries those need), `install` (placing it all in an
installation), `archives` (distributable archives and packages: `tarball`,
`zipball`, `debian`, with what they share in `members`), `windows` (the
Windows folder from the embeddable runtime), `fs` (writing beside a target
and swapping it in); `cli` reads the command line.
"""


class PackError(Exception):
    """A refusal: the message is shown as one line, and nothing was changed."""

