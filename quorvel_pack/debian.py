"""A Debian package of a packed Linux installation.

The installation goes to /opt/NAME, the command /usr/bin/NAME is a link to
its program, and the desktop entry and the icons go where desktops look for
them. The dependencies are what dpkg-shlibdeps finds that the bundled ELF
files need from the system; the installation's own libraries satisfy the
rest. Times, owners and permissions are normalised as for the other archives.
"""

import os
import re
import shutil
import subprocess
import tempfile
from typing import Dict, List, Optional, Tuple

from . import PackError, fs, icons
from .identity import Identity, Person, program_name
from .layout import PROGRAM
from .members import (
    Tree,
    check_names,
    link_inside,
    members,
    normal_mode,
    source_date_epoch,
    tree_members,
)

TIMEOUT = 600
# Debian policy: lower case letters, digits, + - and ., starting alphanumeric.
PACKAGE_NAME = re.compile(r"[a-z0-9][a-z0-9+.-]+")
PACKAGE_VERSION = re.compile(r"([0-9]+:)?[0-9][A-Za-z0-9.+~-]*")
ICON_SIZE = re.compile(r"[0-9]+x[0-9]+|scalable")


def write_deb(tree: Tree, path: str, name: str, identity: Identity) -> None:
    """Builds the package name of the installation that tree holds, written
    to path."""
    version, summary = check_fields(name, identity.version, identity.summary)
    installation = tree.folder
    program = program_name(identity)
    found = tree_members(tree)
    if not any(m == program and os.path.isfile(p) for m, p in found):
        raise PackError(
            "%s: no %s program; a Debian package needs a Linux installation"
            % (installation, program)
        )
    for tool, package in (("dpkg-deb", "dpkg"), ("dpkg-shlibdeps", "dpkg-dev"), ("dpkg", "dpkg")):
        if shutil.which(tool) is None:
            raise PackError("%s not found: install the Debian package %s" % (tool, package))
    check_names(found, unfit_name, "a Debian package")
    work = tempfile.mkdtemp(prefix="pack-app-deb-")
    try:
        root = os.path.join(work, "debian", name)
        place_files(tree, found, root, name, summary, program, identity.icon)
        maintained_by = maintainer(name, identity.authors)
        fields = {
            "Package": name,
            "Version": version,
            "Architecture": run(["dpkg", "--print-architecture"]).strip(),
            "Maintainer": maintained_by,
            "Installed-Size": str(installed_size(root)),
            "Depends": shared_library_depends(work, root, name, maintained_by),
            "Section": "misc",
            "Priority": "optional",
            "Description": summary,
        }
        control = "".join("%s: %s\n" % (key, value) for key, value in fields.items() if value)
        write_text(os.path.join(root, "DEBIAN", "control"), control)
        normalise(root)
        run(
            ["dpkg-deb", "--root-owner-group", "-Zgzip", "-z9", "--build", root, path],
            env=dict(os.environ, SOURCE_DATE_EPOCH=str(source_date_epoch())),
        )
    finally:
        fs.remove_tree(work)


def unfit_name(name: str) -> Optional[str]:
    """Why a Debian package cannot carry a name: dpkg lists a package's
    files one to a line."""
    return "a line feed" if "\n" in name else None


def check_fields(name: str, version: Optional[str], summary: Optional[str]) -> Tuple[str, str]:
    """The version and the summary, once name, version and summary are
    found fit for a Debian package."""
    if not PACKAGE_NAME.fullmatch(name):
        raise PackError(
            "%r: not a Debian package name (lower case letters, digits, + - ., "
            "at least two characters); choose one with --name" % name
        )
    if version is None:
        raise PackError("a Debian package needs --version, or a version in pyproject.toml")
    if not PACKAGE_VERSION.fullmatch(version):
        raise PackError(
            "version %r does not fit a Debian package: it must start with a digit "
            "(e.g. 1.0.2)" % version
        )
    if not summary or not summary.isprintable():
        raise PackError(
            "a Debian package needs --summary, one line of description (or a description "
            "in pyproject.toml)"
        )
    return version, summary


def maintainer(name: str, authors: Tuple[Person, ...]) -> str:
    """DEBFULLNAME <DEBEMAIL>, as Debian's tools take them, when set; else
    the first of the application's authors with an e-mail address."""
    email = os.environ.get("DEBEMAIL", "")
    full_name = os.environ.get("DEBFULLNAME", "")
    if email and full_name:
        return "%s <%s>" % (full_name, email)
    if not email and not full_name:
        for author in authors:
            if author.email:
                return "%s <%s>" % (author.name or author.email, author.email)
    return "%s maintainers <%s>" % (name, email or "%s@localhost" % name)


def place_files(
    tree: Tree,
    found: List[Tuple[str, str]],
    root: str,
    name: str,
    summary: str,
    program: str,
    icon: Optional[str],
) -> None:
    """The package's file tree under root (found: the members of tree): the
    installation, the command, the icons and the menu entry. The icons are
    drawn from icon, or else the launcher's own."""
    installation = tree.folder
    copy_installation(tree, found, os.path.join(root, "opt", name))
    bin_dir = os.path.join(root, "usr", "bin")
    os.makedirs(bin_dir)
    os.symlink("/opt/%s/%s" % (name, program), os.path.join(bin_dir, name))
    themed = os.path.join(root, "usr", "share", "icons", "hicolor")
    drawn = application_icons(icon) if icon else launcher_icons(installation)
    for (size, suffix), data in drawn.items():
        target = os.path.join(themed, size, "apps", name + suffix)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(data)
    write_text(
        os.path.join(root, "usr", "share", "applications", name + ".desktop"),
        desktop_entry(installation, name, summary, bool(drawn)),
    )
    os.makedirs(os.path.join(root, "DEBIAN"))


# An icon of the hicolor theme: (size directory, suffix) -> contents.
Icons = Dict[Tuple[str, str], bytes]


def application_icons(icon: str) -> Icons:
    return {("%dx%d" % (s, s), ".png"): data for s, data in icons.hicolor_icons(icon).items()}


def launcher_icons(installation: str) -> Icons:
    """The launcher's icons of the installation's hicolor theme."""
    themed = os.path.join(installation, "share", "icons", "hicolor")
    found = {}
    for size in sorted(os.listdir(themed)) if os.path.isdir(themed) else ():
        for suffix in (".png", ".svg"):
            icon = os.path.join(themed, size, "apps", PROGRAM + suffix)
            if ICON_SIZE.fullmatch(size) and os.path.isfile(icon):
                with open(icon, "rb") as f:
                    found[size, suffix] = f.read()
    return found


def copy_installation(tree: Tree, found: List[Tuple[str, str]], target: str) -> None:
    """The installation at target, links inside it kept as links."""
    os.makedirs(target)
    for member, path in found:
        destination = os.path.join(target, *member.split("/"))
        link = link_inside(tree.folder, path) if os.path.islink(path) else None
        if link is not None:
            os.symlink(link, destination)
        elif os.path.isdir(path):
            os.mkdir(destination)
        else:
            fs.copy_file(path, destination)
            os.chmod(destination, normal_mode(os.stat(path).st_mode))


def desktop_entry(installation: str, name: str, summary: str, has_icon: bool) -> str:
    """The menu entry: this name and summary, the installation's categories."""
    keys = {"Categories": "Utility;"}
    own = os.path.join(installation, "share", "applications", PROGRAM + ".desktop")
    if os.path.isfile(own):
        with open(own, encoding="utf-8") as entry:
            for line in entry:
                key, equals, value = line.rstrip("\n").partition("=")
                if equals and key in keys:
                    keys[key] = value
    lines = ["[Desktop Entry]", "Type=Application", "Name=" + name]
    lines.append("Comment=" + summary.replace("\\", "\\\\"))
    # The name is a package name: nothing in it needs quoting.
    lines.append("Exec=/usr/bin/%s %%F" % name)
    if has_icon:
        lines.append("Icon=" + name)
    lines += ["Terminal=false", "Categories=" + keys["Categories"]]
    return "\n".join(lines) + "\n"


def shared_library_depends(work: str, root: str, name: str, maintained_by: str) -> str:
    """What the package's ELF files need from other packages, as a Depends
    value. dpkg-shlibdeps reads the package's name from a debian/control."""
    write_text(
        os.path.join(work, "debian", "control"),
        "Source: %s\nMaintainer: %s\n\nPackage: %s\nArchitecture: any\n"
        % (name, maintained_by, name),
    )
    elf_files = []
    for _, path in members(root):
        if os.path.isfile(path) and not os.path.islink(path):
            with open(path, "rb") as candidate:
                if candidate.read(4) == b"\x7fELF":
                    elf_files.append(os.path.relpath(path, work))
    if not elf_files:
        return ""
    # The bundled libraries are the package's own: a shlibs file in the tree
    # says so for the duration of the look-up, and the dependencies on the
    # package itself that this gives are dropped.
    lib = os.path.join(root, "opt", name, "lib")
    shlibs = os.path.join(root, "DEBIAN", "shlibs")
    write_text(
        shlibs,
        "".join(
            "%s %s %s\n" % (library, version, name) for library, version in bundled_sonames(lib)
        ),
    )
    try:
        found = run(
            ["dpkg-shlibdeps", "-O", "-l" + os.path.relpath(lib, work), *elf_files], cwd=work
        )
    finally:
        os.unlink(shlibs)
    match = re.search(r"^shlibs:Depends=(.*)$", found, re.MULTILINE)
    depends = match.group(1).split(", ") if match else []
    return ", ".join(d for d in depends if d != name and not d.startswith(name + " "))


def bundled_sonames(lib: str) -> List[Tuple[str, str]]:
    """(library, version) of each versioned shared library in lib, as a
    shlibs file names them: libbz2.so.1.0 is (libbz2, 1.0)."""
    found = []
    for file_name in sorted(os.listdir(lib)):
        library, dot_so, version = file_name.partition(".so.")
        if dot_so and version:
            found.append((library, version))
    return found


def installed_size(root: str) -> int:
    """KiB the files take, as dpkg-gencontrol counts them."""
    total = 0
    for _, path in members(root):
        total += (
            1
            if os.path.islink(path) or os.path.isdir(path)
            else (os.path.getsize(path) + 1023) // 1024
        )
    return total


def normalise(root: str) -> None:
    """Permissions by kind and one time for every file the package holds."""
    epoch = source_date_epoch()
    for _, path in reversed(members(root)):
        if not os.path.islink(path):
            os.chmod(path, normal_mode(os.stat(path).st_mode))
        os.utime(path, (epoch, epoch), follow_symlinks=False)
    os.chmod(root, 0o755)
    os.utime(root, (epoch, epoch))


def write_text(path: str, text: str) -> None:
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as out:
        out.write(text)


def run(command: List[str], cwd: Optional[str] = None, env: Optional[Dict[str, str]] = None) -> str:
    """command's standard output; a PackError with its complaint on failure."""
    try:
        result = subprocess.run(
            command, capture_output=True, text=True, timeout=TIMEOUT, cwd=cwd, env=env
        )
    except (OSError, subprocess.TimeoutExpired) as error:
        raise PackError("%s: %s" % (command[0], error))
    if result.returncode != 0:
        lines = (result.stderr or result.stdout).strip().splitlines() or ["failed"]
        # The first error the tool names (not the hints that follow it).
        errors = [line for line in lines if line.startswith(command[0] + ": error: ")]
        raise PackError(errors[0] if errors else "%s: %s" % (command[0], lines[-1]))
    output: str = result.stdout
    return output
