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
import signal
import tempfile
import zipfile
from typing import List

from . import analysis, fs, installation, native, toplevel
from .identity import program_name
from .layout import ARCHIVE, MANIFEST, STAGING_PREFIX, check_apart
from .options import PackOptions
from .planning import Plan, Report, analyse


def empty_archive(path: str) -> None:
    """A valid module archive with no members: the search path's first
    entry, which then costs next to nothing on every import."""
    with zipfile.ZipFile(path, "w"):
        pass


def _carry_over(source: str, target: str) -> None:
    """Recreates source at target with hard links: the same files, untouched."""
    if os.path.islink(source):
        os.symlink(os.readlink(source), target)
    elif os.path.isdir(source):
        os.mkdir(target)
        shutil.copystat(source, target)
        for name in os.listdir(source):
            _carry_over(os.path.join(source, name), os.path.join(target, name))
    else:
        try:
            os.link(source, target)
        except OSError:
            shutil.copy2(source, target)


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
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if kind == "compile":
            with open(target, "wb") as f:
                f.write(analysis.bytecode_file(source, plan.display_names.get(relative, relative)))
        elif kind == "text":
            with open(target, "wb") as f:
                f.write(
                    analysis.pyc_contents(
                        compile(source, plan.display_names[relative], "exec", dont_inherit=True)
                    )
                )
        else:
            shutil.copyfile(source, target)
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
    for base, _, names in os.walk(stage_lib):
        for name in names:
            total += os.lstat(os.path.join(base, name)).st_size
    return total


def pack(app_dir: str, target: str, options: PackOptions) -> Report:
    """Checks everything, then replaces the installation's application."""
    runtime = installation.read_installation(target)
    installation.check_interpreter(runtime)
    app = analysis.check_application(app_dir, options.entry)
    check_apart(app_dir, target)
    installation.check_names(app, runtime)
    program = program_name(options.identity)
    beside_before = installation.previous_beside_lib(runtime)
    toplevel.check_program_name(target, program, beside_before)
    # Interrupted before the exchange, the run stops and undoes its work;
    # from the exchange on, it finishes the pack and then takes the signal.
    committed: List[bool] = []
    deferred: List[int] = []

    def interrupt(signum: int, frame: object) -> None:
        if not committed:
            raise KeyboardInterrupt
        deferred.append(signum)

    with installation.locked(target):
        previous = {s: signal.signal(s, interrupt) for s in (signal.SIGINT, signal.SIGTERM)}
        try:
            fs.remove_staging(target, STAGING_PREFIX)
            plan = analyse(app, runtime, options)
            # The files beside lib/ are staged first and moved in after it.
            beside = tempfile.mkdtemp(prefix=STAGING_PREFIX, dir=target)
            try:
                toplevel.write(beside, plan.beside)
                with fs.replacing_directory(
                    runtime.lib_dir, target, STAGING_PREFIX, lambda: committed.append(True)
                ) as stage_lib:
                    total = write_lib(
                        plan, runtime, stage_lib, installation.runtime_entries(runtime), program
                    )
                toplevel.commit(target, beside, plan.beside, beside_before)
            finally:
                shutil.rmtree(beside, ignore_errors=True)
        finally:
            for number, handler in previous.items():
                signal.signal(number, handler)
    if deferred:
        signal.raise_signal(deferred[0])
    return plan.report._replace(total_bytes=total)
