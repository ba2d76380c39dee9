"""Places an application's modules in an installation: into the module
archive lib/library.zip (bytecode or sources) or into lib/."""

import importlib.util
import os
import py_compile
import shutil
import sys
import tempfile
import zipfile

from . import FIXED_DATE_TIME, PackError

STARTUP = "__startup__.py"
ARCHIVE = "library.zip"


def app_entries(app_dir):
    """Top-level names to pack: modules (name.py) and packages (name/)."""
    if not os.path.isfile(os.path.join(app_dir, STARTUP)):
        raise PackError("%s: no %s" % (app_dir, STARTUP))
    entries = []
    for name in sorted(os.listdir(app_dir)):
        path = os.path.join(app_dir, name)
        if os.path.isfile(path) and name.endswith(".py"):
            entries.append(name)
        elif os.path.isfile(os.path.join(path, "__init__.py")):
            entries.append(name)
    return entries


def module_name(entry):
    return entry[:-3] if entry.endswith(".py") else entry


def package_files(app_dir, package):
    """Relative paths (with /) of a package's files, caches left out."""
    files = []
    for root, dirs, names in os.walk(os.path.join(app_dir, package)):
        dirs[:] = sorted(d for d in dirs if d != "__pycache__")
        for name in sorted(names):
            if not name.endswith((".pyc", ".pyo")):
                relative = os.path.relpath(os.path.join(root, name), app_dir)
                files.append(relative.replace(os.sep, "/"))
    return files


def owned_by(arcname, names):
    """True when an archive member belongs to one of the packed modules."""
    top = arcname.split("/", 1)[0]
    if "/" in arcname:
        return top in names
    stem, dot, suffix = top.rpartition(".")
    return dot == "." and suffix in ("py", "pyc") and stem in names


def archive_magic(archive):
    """Bytecode magic of the runtime's own modules in the archive, or None."""
    with zipfile.ZipFile(archive) as zf:
        for info in zf.infolist():
            if info.filename.endswith(".pyc"):
                with zf.open(info) as member:
                    return member.read(4)
    return None


def bytecode(source_path, arcname):
    """Bytecode file contents that need no source beside them."""
    with tempfile.TemporaryDirectory() as scratch:
        target = os.path.join(scratch, "module.pyc")
        py_compile.compile(source_path, cfile=target, dfile=arcname, doraise=True,
                           invalidation_mode=py_compile.PycInvalidationMode.UNCHECKED_HASH)
        with open(target, "rb") as compiled:
            return compiled.read()


def members_to_add(app_dir, entries, as_source):
    """(archive name, contents) of every file to place in the archive."""
    members = []
    for entry in entries:
        files = [entry] if entry.endswith(".py") else package_files(app_dir, entry)
        for relative in files:
            path = os.path.join(app_dir, *relative.split("/"))
            if relative.endswith(".py") and not as_source:
                members.append((relative + "c", bytecode(path, relative)))
            else:
                with open(path, "rb") as f:
                    members.append((relative, f.read()))
    return members


def rewrite_archive(archive, drop, members):
    """Replace the archive with a copy lacking drop's modules, plus members."""
    directory = os.path.dirname(archive)
    fd, temporary = tempfile.mkstemp(prefix=".library-", suffix=".zip", dir=directory)
    try:
        with os.fdopen(fd, "wb") as raw:
            with zipfile.ZipFile(archive) as old, \
                    zipfile.ZipFile(raw, "w", zipfile.ZIP_DEFLATED) as new:
                for info in old.infolist():
                    if not owned_by(info.filename, drop):
                        new.writestr(info, old.read(info))
                for arcname, data in members:
                    info = zipfile.ZipInfo(arcname, date_time=FIXED_DATE_TIME)
                    info.compress_type = zipfile.ZIP_DEFLATED
                    info.external_attr = 0o644 << 16
                    new.writestr(info, data)
            raw.flush()
            os.fsync(raw.fileno())
        with zipfile.ZipFile(temporary) as check:
            broken = check.testzip()
            if broken is not None:
                raise PackError("%s: member %s is corrupt" % (temporary, broken))
        shutil.copymode(archive, temporary)
        os.replace(temporary, archive)
    except BaseException:
        os.unlink(temporary)
        raise


def remove_from_lib(lib_dir, names):
    """Remove loose copies of the named modules from lib."""
    removed = []
    for name in names:
        for path in (os.path.join(lib_dir, name + ".py"), os.path.join(lib_dir, name + ".pyc")):
            if os.path.isfile(path):
                os.unlink(path)
                removed.append(path)
        package = os.path.join(lib_dir, name)
        if os.path.isfile(os.path.join(package, "__init__.py")):
            shutil.rmtree(package)
            removed.append(package)
        cache = os.path.join(lib_dir, "__pycache__")
        if os.path.isdir(cache):
            for cached in os.listdir(cache):
                if cached.split(".", 1)[0] == name:
                    os.unlink(os.path.join(cache, cached))
    return removed


def copy_into_lib(app_dir, lib_dir, entries):
    remove_from_lib(lib_dir, [module_name(e) for e in entries])
    for entry in entries:
        source = os.path.join(app_dir, entry)
        if entry.endswith(".py"):
            shutil.copyfile(source, os.path.join(lib_dir, entry))
        else:
            shutil.copytree(source, os.path.join(lib_dir, entry),
                            ignore=shutil.ignore_patterns("__pycache__", "*.pyc", "*.pyo"))


def pack(app_dir, installation, into_archive, as_source):
    lib_dir = os.path.join(installation, "lib")
    archive = os.path.join(lib_dir, ARCHIVE)
    if not os.path.isfile(archive):
        raise PackError("%s: not an installation (no lib/%s)" % (installation, ARCHIVE))
    try:
        magic = archive_magic(archive)
    except zipfile.BadZipFile:
        raise PackError("%s: not a valid zip archive" % archive)
    entries = app_entries(app_dir)
    names = [module_name(e) for e in entries]
    # Replacing a runtime module would break the interpreter, not update the app.
    shadowing = sorted(set(names) & set(getattr(sys, "stdlib_module_names", ())))
    if shadowing:
        raise PackError("%s: module names taken by the standard library: %s"
                        % (app_dir, ", ".join(shadowing)))
    if into_archive:
        if not as_source and magic not in (None, importlib.util.MAGIC_NUMBER):
            raise PackError("%s holds bytecode of another Python version than %s; run this "
                            "tool with the installation's Python, or use --source"
                            % (archive, sys.executable))
        rewrite_archive(archive, names, members_to_add(app_dir, entries, as_source))
        remove_from_lib(lib_dir, names)
    else:
        copy_into_lib(app_dir, lib_dir, entries)
        with zipfile.ZipFile(archive) as zf:
            stale = any(owned_by(n, names) for n in zf.namelist())
        if stale:
            rewrite_archive(archive, names, [])
    return entries
