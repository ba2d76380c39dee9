"""The runnable Windows folder from a Windows installation and the
interpreter's embeddable package.

Beside quorvel.exe: the interpreter's DLL, python3.dll, the C++ runtime and
whatever these need, because the program links the interpreter when it is
loaded, before it names lib/ as its DLL directory. In lib/: library.zip (the
standard library and the application), the extension modules, the three
libraries, and every DLL those import, from the package or from the
--native-path directories. System DLLs are never copied; the interpreter
programs and the ._pth file (which would override the launcher's search
path) are left out, and so are the headers and import libraries of the
installation, which serve building, not running.

The folder is built beside the installation and swapped in at the end, in
one step and under a lock that keeps a second run out, so a refusal or an
interruption leaves the installation as it was; what a killed run left
beside it is removed by the next.
"""

import ast
import io
import os
import re
import shutil
import sys
from typing import Dict, List, NamedTuple, Optional, Sequence, Set, Tuple
import zipfile

from . import PackError, analysis, archives, fs, licences, pe, rules, startup, windows_identity
from .layout import ARCHIVE, check_apart
from .layout import WINDOWS_PROGRAM as PROGRAM
from .members import FIXED_DATE_TIME, Tree
from .options import ArchiveOptions, WindowsOptions

LIBRARIES = ("linesearch.dll", "blaswrap.dll", "cblassub.dll")

INTERPRETER_DLL = re.compile(r"python3(\d+)\.dll", re.IGNORECASE)
STABLE_ABI_DLL = "python3.dll"
CXX_RUNTIME = re.compile(r"vcruntime\d+(_\d+)?\.dll", re.IGNORECASE)

# What an installation (or a folder assembled from one) may hold, by
# directory; anything else would be lost when the folder is rebuilt.
KNOWN_SUFFIXES = {
    "": (".exe", ".dll"),
    "include": (".h",),
    "lib": (".dll", ".pyd", ".dll.a", ".zip"),
}


def is_system_dll(name: str) -> bool:
    """Whether the system provides the DLL (a rule list): never copied."""
    rule = rules.windows_system_dlls()
    name = name.lower()
    stem = name[:-4] if name.endswith(".dll") else name
    return stem in rule.names or name in rule.names or name.startswith(rule.prefixes)


# ---- the embeddable package ----------------------------------------------------


class Runtime(NamedTuple):
    path: str
    version: Tuple[int, int]  # (3, minor), from the interpreter DLL's name
    dll: str  # python3X.dll
    members: Dict[str, str]  # lower-case name -> member name, top level only


def read_runtime(path: str) -> Runtime:
    if not os.path.isfile(path):
        raise PackError("%s: no such file" % path)
    if not zipfile.is_zipfile(path):
        raise PackError("%s: not a zip file" % path)
    with zipfile.ZipFile(path) as package:
        members = {n.lower(): n for n in package.namelist() if "/" not in n.rstrip("/")}
    minors = {
        n: int(match.group(1))
        for n, match in ((n, INTERPRETER_DLL.fullmatch(n)) for n in members.values())
        if match
    }
    stdlib = [d for d in minors if os.path.splitext(d)[0].lower() + ".zip" in members]
    if len(stdlib) != 1:
        raise PackError(
            "%s: not an embeddable package of the interpreter (no python3X.dll "
            "beside its python3X.zip at the top)" % path
        )
    dll = stdlib[0]
    return Runtime(path, (3, minors[dll]), dll, members)


def stdlib_member(runtime: Runtime) -> str:
    return runtime.members[os.path.splitext(runtime.dll)[0].lower() + ".zip"]


# ---- which files go where ------------------------------------------------------


class Placed(NamedTuple):
    name: str  # file name in the folder
    directory: str  # "" (beside the program) or "lib"
    origin: str  # path on disk, or member name in the package
    in_package: bool
    needed_by: str  # the file that imports it, or "" for a root


def read_image(runtime: Runtime, package: zipfile.ZipFile, placed: Placed) -> pe.Image:
    where = ("%s in %s" % (placed.origin, runtime.path)) if placed.in_package else placed.origin
    try:
        if placed.in_package:
            image = pe.parse(package.read(placed.origin))
        else:
            image = pe.read(placed.origin)
    except pe.PEFormatError as error:
        raise PackError("%s: not a Windows program or DLL (%s)" % (where, error))
    if image.machine != pe.X86_64:
        if placed.in_package and placed.name == runtime.dll:
            raise PackError(
                "%s: a package for %s, not x86-64 (%s)"
                % (runtime.path, pe.machine_name(image.machine), runtime.dll)
            )
        raise PackError("%s: built for %s, not x86-64" % (where, pe.machine_name(image.machine)))
    return image


def find_in_directory(directory: str, name: str) -> Optional[str]:
    """The file of that name in directory, compared as Windows does (case-blind)."""
    try:
        entries = os.listdir(directory)
    except OSError:
        return None
    for entry in entries:
        path = os.path.join(directory, entry)
        if entry.lower() == name.lower() and os.path.isfile(path):
            return path
    return None


def locate(
    name: str,
    needed_by: str,
    runtime: Runtime,
    native_paths: Sequence[str],
    installation: str,
    directory: str,
) -> Placed:
    """Where an imported DLL comes from: the package first, then the
    --native-path directories in order, then the installation itself (put
    there by hand, or by an earlier run, so a repeated run needs no
    --native-path)."""
    member = runtime.members.get(name.lower())
    if member is not None:
        return Placed(member, directory, member, True, needed_by)
    for candidate in list(native_paths) + [os.path.join(installation, "lib"), installation]:
        path = find_in_directory(candidate, name)
        if path is not None:
            return Placed(os.path.basename(path), directory, path, False, needed_by)
    raise PackError(
        "%s, needed by %s, is not in %s, in %s or in a --native-path directory (%s)"
        % (
            name,
            needed_by,
            runtime.path,
            installation,
            ", ".join(native_paths) if native_paths else "none given",
        )
    )


def extension_modules(runtime: Runtime) -> List[str]:
    """The package's extension modules that the folder ships: all of them,
    as nothing here tells which ones the application imports."""
    return sorted(n for n in runtime.members.values() if n.lower().endswith(".pyd"))


def plan_files(
    installation: str, runtime: Runtime, package: zipfile.ZipFile, native_paths: Sequence[str]
) -> List[Placed]:
    """Every file of the folder except library.zip: the roots, then what
    they import, transitively. What the program and the interpreter need
    goes beside the program, so it is found before lib/ is named."""
    lib = os.path.join(installation, "lib")
    top_roots = [Placed(PROGRAM, "", os.path.join(installation, PROGRAM), False, "")]
    top_roots += [
        Placed(n, "", n, True, "")
        for n in sorted(runtime.members.values())
        if n == runtime.dll or n.lower() == STABLE_ABI_DLL or CXX_RUNTIME.fullmatch(n)
    ]
    lib_roots = [Placed(n, "lib", os.path.join(lib, n), False, "") for n in LIBRARIES]
    lib_roots += [Placed(n, "lib", n, True, "") for n in extension_modules(runtime)]

    placed: Dict[str, Placed] = {}
    for directory, roots in (("", top_roots), ("lib", lib_roots)):
        pending = list(roots)
        while pending:
            item = pending.pop(0)
            if item.name.lower() in placed:
                continue
            placed[item.name.lower()] = item
            for name in read_image(runtime, package, item).imports:
                if not is_system_dll(name) and name.lower() not in placed:
                    pending.append(
                        locate(name, item.name, runtime, native_paths, installation, directory)
                    )
    return list(placed.values())


def check_interpreter_link(installation: str, runtime: Runtime) -> None:
    program = os.path.join(installation, PROGRAM)
    try:
        imports = pe.read(program).imports
    except pe.PEFormatError as error:
        raise PackError("%s: not a Windows program (%s)" % (program, error))
    linked = [n for n in imports if INTERPRETER_DLL.fullmatch(n)]
    if linked and runtime.dll.lower() not in (n.lower() for n in linked):
        raise PackError(
            "%s holds %s, but %s links %s" % (runtime.path, runtime.dll, PROGRAM, linked[0])
        )


# ---- the installation ------------------------------------------------------------


def check_installation(installation: str) -> None:
    missing = [
        p
        for p in [PROGRAM] + ["lib/" + n for n in LIBRARIES]
        if not os.path.isfile(os.path.join(installation, *p.split("/")))
    ]
    if missing:
        raise PackError(
            "%s: not a Windows installation (no %s); make one with cmake --install "
            "build-windows --prefix %s" % (installation, missing[0], installation)
        )
    strangers = []
    for root, dirs, files in fs.walk(installation):
        relative = os.path.relpath(root, installation).replace(os.sep, "/")
        relative = "" if relative == "." else relative
        if relative == "":
            # licenses/ is made anew with the folder.
            known = set(KNOWN_SUFFIXES) | {licences.DIRECTORY}
            strangers += [d + "/" for d in dirs if d not in known]
            dirs[:] = [d for d in dirs if d in KNOWN_SUFFIXES]
        else:
            strangers += [relative + "/" + d + "/" for d in dirs]
            dirs[:] = []
        suffixes = KNOWN_SUFFIXES[relative]
        strangers += [
            (relative + "/" if relative else "") + f
            for f in files
            if not f.lower().endswith(suffixes)
        ]
    if strangers:
        raise PackError(
            "%s: holds what a Windows installation does not: %s; move it away first"
            % (installation, ", ".join(sorted(strangers)[:3]))
        )


# ---- the application -------------------------------------------------------------
# The bundler's checks of the application and its generated __startup__; all
# of it goes into library.zip, as bytecode when this interpreter is the
# runtime's version, as sources otherwise. The package's standard library
# is shipped whole: its bytecode is not this interpreter's to analyse.


def extension_suffixes(runtime: Runtime) -> Tuple[str, ...]:
    """Those of the runtime's extension modules, as its import system has
    them: a data file named like a Linux extension module is data here."""
    return (".cp%d%d-win_amd64.pyd" % runtime.version, ".pyd")


# (name in library.zip, contents)
Member = Tuple[str, bytes]


def application_members(
    app_dir: str, runtime: Runtime, stdlib_names: Set[str], options: WindowsOptions
) -> List[Member]:
    """(archive name, contents) of the application's files in library.zip,
    the generated __startup__ among them."""
    app = analysis.check_application(app_dir, options.entry, extension_suffixes(runtime))
    shipped = [f for f in app.files if f.role != "skipped"]
    native = [
        f.relative
        for f in shipped
        if f.role == "extension" or f.relative.lower().endswith((".pyd", ".dll"))
    ]
    if native:
        raise PackError(
            "%s: extension modules and DLLs of the application are not shipped in "
            "the Windows folder" % native[0]
        )
    taken = sorted(analysis.module_names(f.relative for f in shipped) & stdlib_names)
    if taken:
        raise PackError(
            "%s: module names taken by the standard library of %s: %s"
            % (app_dir, runtime.dll, ", ".join(taken))
        )
    compile_here = not options.as_source and sys.version_info[:2] == runtime.version
    members: List[Member] = []
    for item in shipped:
        path = os.path.join(app_dir, *item.relative.split("/"))
        arcname = item.relative
        if item.module == analysis.STARTUP:
            arcname = analysis.APP_STARTUP + ".py"
        if item.role != "module":
            with open(path, "rb") as f:
                members.append((arcname, f.read()))
            continue
        with open(path, "rb") as f:
            source = f.read()
        try:
            ast.parse(source, filename=path, feature_version=runtime.version)
        except SyntaxError as error:
            raise PackError(
                "%s:%s: %s for Python %d.%d"
                % (item.relative, error.lineno, error.msg, *runtime.version)
            )
        if compile_here:
            members.append((arcname + "c", analysis.bytecode_file(path, arcname)))
        else:
            members.append((arcname, source))
    entry_module = (
        analysis.APP_STARTUP if app.entry_module == analysis.STARTUP else app.entry_module
    )
    generated = startup.startup_module_source(entry_module, app.entry_function, options.freeze_gc)
    name = analysis.STARTUP + ".py"
    if compile_here:
        code = compile(generated, "<pack-app>/" + name, "exec", dont_inherit=True)
        members.append((name + "c", analysis.pyc_contents(code)))
    else:
        members.append((name, generated.encode()))
    return members


# ---- writing the folder ------------------------------------------------------------


def write_library(path: str, stdlib: zipfile.ZipFile, members: List[Member]) -> None:
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        for info in stdlib.infolist():
            archive.writestr(info, stdlib.read(info))
        for arcname, data in sorted(members):
            info = zipfile.ZipInfo(arcname, date_time=FIXED_DATE_TIME)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = 0o644 << 16
            archive.writestr(info, data)


def write_folder(
    target: str,
    files: List[Placed],
    package: zipfile.ZipFile,
    stdlib: zipfile.ZipFile,
    members: List[Member],
    made: Dict[str, bytes],
) -> None:
    """The folder: files copied, library.zip, and the files made here (the
    named program, the licences) by their paths with /."""
    os.makedirs(os.path.join(target, "lib"))
    for relative, data in sorted(made.items()):
        destination = os.path.join(target, *relative.split("/"))
        os.makedirs(os.path.dirname(destination), exist_ok=True)
        with open(destination, "wb") as f:
            f.write(data)
        os.chmod(destination, 0o755 if relative.endswith(".exe") else 0o644)
    for item in files:
        destination = os.path.join(target, item.directory, item.name)
        if item.in_package:
            with package.open(item.origin) as source, open(destination, "wb") as copy:
                shutil.copyfileobj(source, copy)
        else:
            shutil.copyfile(item.origin, destination)
        os.chmod(destination, 0o755)
    write_library(os.path.join(target, "lib", ARCHIVE), stdlib, members)


def made_files(
    installation: str,
    runtime: Runtime,
    package: zipfile.ZipFile,
    files: List[Placed],
    options: WindowsOptions,
) -> Tuple[Dict[str, bytes], List[str]]:
    """The files the folder gets that are made here, by their paths with /
    (the program under the application's name, licenses/), and the warnings
    about licences not found."""
    with open(os.path.join(installation, PROGRAM), "rb") as f:
        launcher = f.read()
    made = {}
    named = windows_identity.named_program(launcher, options.identity)
    if named is not None:
        taken = [p for p in files if p.directory == "" and p.name.lower() == named[0].lower()]
        if taken:
            raise PackError(
                "%s: the folder holds a file of that name already (%s); choose another "
                "name with --name" % (named[0], taken[0].origin)
            )
        made[named[0]] = named[1]
    member = runtime.members.get("license.txt")
    interpreter = licences.Component(
        "python",
        "%d.%d" % runtime.version,
        (("LICENSE.txt", package.read(member)),) if member else (),
        runtime.path,
    )
    ours = {n.lower() for n in LIBRARIES + (PROGRAM,)}
    outside = [p.origin for p in files if not p.in_package and p.name.lower() not in ours]
    components = windows_identity.licence_components(
        options.identity, interpreter, outside, launcher
    )
    for relative, data in licences.files(components).items():
        made[licences.DIRECTORY + "/" + relative] = data
    return made, licences.warnings(components)


def assemble(
    app_dir: str,
    installation: str,
    options: WindowsOptions,
    archive: Optional[ArchiveOptions] = None,
) -> Tuple[str, List[str]]:
    """Turns installation into the runnable folder holding the application,
    also written as the archive asked for; returns a one-line account of it,
    and the warnings."""
    runtime = read_runtime(options.runtime)
    check_apart(app_dir, installation)
    check_installation(installation)
    for directory in options.native_paths:
        if not os.path.isdir(directory):
            raise PackError("%s: no such directory (--native-path)" % directory)
    check_interpreter_link(installation, runtime)
    parent, base = os.path.split(os.path.abspath(installation))
    staging = "." + base + ".new-"
    with fs.locked(installation), fs.committing() as commit:
        fs.remove_staging(parent, staging)
        with zipfile.ZipFile(runtime.path) as package:
            files = plan_files(installation, runtime, package, options.native_paths)
            made, warnings = made_files(installation, runtime, package, files, options)
            with _standard_library(runtime, package) as stdlib:
                stdlib_names = analysis.module_names(stdlib.namelist(), extension_suffixes(runtime))
                members = application_members(app_dir, runtime, stdlib_names, options)
                with archives.publishing(archive) as write_archive:
                    with fs.replacing_directory(installation, parent, staging, commit) as target:
                        write_folder(target, files, package, stdlib, members, made)
                        write_archive(Tree(target))
    account = "%s: %d files of the application in lib/%s, %d files from %s and the native paths" % (
        installation,
        len(members),
        ARCHIVE,
        len(files) - 1 - len(LIBRARIES),
        runtime.path,
    )
    return account, warnings


def _standard_library(runtime: Runtime, package: zipfile.ZipFile) -> zipfile.ZipFile:
    """The package's standard library archive, opened."""
    try:
        return zipfile.ZipFile(io.BytesIO(package.read(stdlib_member(runtime))))
    except zipfile.BadZipFile:
        raise PackError("%s: %s is not a zip archive" % (runtime.path, stdlib_member(runtime)))
