"""Turns an application into a quorvel installation that can be handed out.

One module each: `analysis` (which modules the application needs),
`native` (the shared libraries those need), `install` (placing it all in an
installation), `archives` (distributable archives and packages), `windows`
(the Windows folder from the embeddable runtime); `cli` reads the command line.
"""


class PackError(Exception):
    """A refusal: the message is shown as one line, and nothing was changed."""


# Timestamp of every archive member the tool writes, so that the same inputs
# give the same bytes: the earliest date a zip header can hold.
FIXED_DATE_TIME = (1980, 1, 1, 0, 0, 0)
