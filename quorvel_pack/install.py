"""Places an application, and exactly what it needs, in an installation.

The new lib/ is assembled beside the installation's and exchanged with it in
one step, so a run that fails or is interrupted leaves the installation as
it was; the previous application's files go with the old lib/. The runtime's
own files in lib/ (the libraries and the runtime record) are carried over as
hard links, unchanged; the standard library's modules are the runtime's own
release, compiled by this interpreter after its version has been compared.
"""

import json
import os
import shutil
import tempfile
import zipfile
from typing import List, Optional

from . import analysis, archives, fs, installation, native, pack_cache, toplevel
from .identity import program_name
from .layout import ARCHIVE, MANIFEST, STAGING_PREFIX, check_apart
from .members import LEFT_OUT_OF_INSTALLATIONS, Tree
from .options import ArchiveOptions, PackOptions
from .planning import Plan, Report, analyse


def empty_archive(path: str) -> None:
    """A valid module archive with no members: the search path's first
    entry, which then costs next to nothing on every import."""
    with zipfile.ZipFile(path, "w"):
        pass


def _carry_over(source: str, target: str) -> None:
    """Recreates source at target with hard links: the same files, untouched."""
    if os.path.islink(source) or not os.path.isdir(source):
        _link_file(source, target)
        return
    for directory, dirs, files in fs.walk(source):
        made = (
            target
            if directory == source
            else os.path.join(target, os.path.relpath(directory, source))
        )
        os.mkdir(made)
        shutil.copystat(directory, made)
        linked = [d for d in dirs if os.path.islink(os.path.join(directory, d))]
        for name in files + linked:
            _link_file(os.path.join(directory, name), os.path.join(made, name))


def _link_file(source: str, target: str) -> None:
    if os.path.islink(source):
        os.symlink(os.readlink(source), target)
        return
    try:
        os.link(source, target)
    except OSError:
        fs.copy_file(source, target)
        shutil.copystat(source, target)


def write_lib(
    plan: Plan, runtime: installation.Runtime, stage_lib: str, entries: List[str], program: str
) -> int:
    """Writes the new lib/ into stage_lib, with the record of what the pack
    placed and under which program name; returns its size in bytes."""
    os.mkdir(stage_lib)
    shutil.copystat(runtime.lib_dir, stage_lib)
    for name in entries:
        _carry_over(os.path.join(runtime.lib_dir, name), os.path.join(stage_lib, name))
    for relative, (kind, source) in sorted(plan.files.items()):
        target = os.path.join(stage_lib, *relative.split("/"))
        fs.make_dirs(os.path.dirname(target))
        if kind == "compile":
            with open(target, "wb") as f:
                display = plan.display_names.get(relative, relative)
                f.write(pack_cache.bytecode(source, display, analysis.bytecode_file))
        elif kind == "text":
            with open(target, "wb") as f:
                f.write(
                    analysis.pyc_contents(
                        compile(source, plan.display_names[relative], "exec", dont_inherit=True)
                    )
                )
        else:
            fs.copy_file(source, target)
            shutil.copymode(source, target)
            if kind == "binary":
                os.chmod(target, 0o755)
                native.clear_search_paths(target)
    empty_archive(os.path.join(stage_lib, ARCHIVE))
    owned = sorted({r.split("/", 1)[0] for r in plan.files} | {ARCHIVE})
    with open(os.path.join(stage_lib, MANIFEST), "w") as f:
        record = {
            "entries": owned,
            "files": sorted(plan.files),
            "program": program,
            "beside_lib": toplevel.recorded(plan.beside),
        }
        json.dump(record, f, indent=1)
        f.write("\n")
    total = 0
    for base, _, names in fs.walk(stage_lib):
        for name in names:
            total += os.lstat(os.path.join(base, name)).st_size
    return total


def _as_left(target: str, stage_lib: str, beside: str, plan: Plan, previous: List[str]) -> Tree:
    """The installation as the run leaves it, read before anything changes:
    the new lib/ and the files beside it from where they are staged."""
    left_out, replaced = toplevel.archived(target, beside, plan.beside, previous)
    staging = (os.path.basename(os.path.dirname(stage_lib)), os.path.basename(beside))
    return Tree(
        target,
        LEFT_OUT_OF_INSTALLATIONS + staging + left_out,
        (("lib", stage_lib),) + replaced,
    )


def pack(
    app_dir: str, target: str, options: PackOptions, archive: Optional[ArchiveOptions] = None
) -> Report:
    """Checks everything, then replaces the installation's application; also
    writes the installation as the archive asked for, as this run leaves
    it, before anything changes."""
    runtime = installation.read_installation(target)
    installation.check_interpreter(runtime)
    app = analysis.check_application(app_dir, options.entry)
    check_apart(app_dir, target)
    installation.check_names(app, runtime)
    program = program_name(options.identity)
    # Interrupted before the exchange, the run stops and undoes its work;
    # from the exchange on, it finishes (the archive too) and then takes the signal.
    with fs.locked(target), fs.committing() as commit:
        fs.remove_staging(target, STAGING_PREFIX)
        beside_before = installation.previous_beside_lib(runtime)
        toplevel.check_program_name(target, program, beside_before)
        plan = analyse(app, runtime, options)
        # The files beside lib/ are staged first and moved in after it.
        beside = tempfile.mkdtemp(prefix=STAGING_PREFIX, dir=target)
        try:
            toplevel.write(beside, plan.beside)
            with archives.publishing(archive) as write_archive:
                with fs.replacing_directory(
                    runtime.lib_dir, target, STAGING_PREFIX, commit
                ) as stage:
                    entries = installation.runtime_entries(runtime)
                    total = write_lib(plan, runtime, stage, entries, program)
                    write_archive(_as_left(target, stage, beside, plan, beside_before))
                toplevel.commit(target, beside, plan.beside, beside_before)
        finally:
            fs.remove_tree(beside)
    return plan.report._replace(total_bytes=total)
