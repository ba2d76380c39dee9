"""What an application needs, decided from the modules it reaches.

The imports of the modules the application reaches are followed,
transitively. A third-party distribution that a reached module imports
ships with all its own files (packages load their own parts by name), but
only the imports of its reached modules are followed: its test suites, its
hooks for other tools and its optional back-ends stay out unless something
reached imports them. Inside functions, third-party code's imports of its
own distribution and of the standard library are followed, those of other
distributions are not (they are optional: shipped when something else
needs them, or with --include). What a distribution's metadata requires
ships too. Compiled modules are imported in a separate interpreter to learn
what they import as they load."""

import marshal
import os
import sys
from typing import Any, Dict, List, NamedTuple, Optional, Set, Tuple

from . import analysis, closure, distributions, pack_cache, rules
from .closure import Closure
from .statements import Import
from .distributions import Distribution
from .installation import Runtime, standard_names
from .options import PackOptions

# Roots of every installation: what the runtime imports while it starts (the
# codecs, looked up by name), and what the launcher imports to report an
# uncaught exception.
RUNTIME_ROOTS = ("encodings", "traceback")
APPLICATION = "the application"
# Part of the cache key of what is read from a module: changed whenever the
# reading changes.
FACTS_VERSION = "\0facts-1"
# Where an import of another distribution is optional: at module level, in
# one branch of an `if`; inside a function, in the body of an `if`, in an
# exception handler (a fallback) or in a `try` that expects it to fail.
OPTIONAL = frozenset({"if", "else"})
IN_FUNCTION_OPTIONAL = frozenset({"if", "handler", "try"})


class Context(NamedTuple):
    """Where each kind of module comes from."""

    app_dir: str
    stdlib_dir: str
    extension_dir: str
    paths: List[str]
    standard: Set[str]  # top-level names of the standard library
    owners: Dict[str, Distribution]  # third-party top-level name -> its distribution
    named: Dict[str, Distribution]  # normalised project name -> distribution


class Needed(NamedTuple):
    """What an application needs: the closure of its imports, the
    distributions that ship, the modules that compiled modules import as
    they load (some made at run time, with no file to find), the optional
    imports left out, and the outside data that ships."""

    closure: Closure
    distributions: List[Distribution]
    from_c_modules: Set[str]
    not_followed: List[Tuple[str, str]]  # (target, importer)
    outside_data: List[rules.OutsideData]
    context: Context


def _under(path: str, directory: str) -> bool:
    return path.startswith(directory + os.sep)


def make_context(app: analysis.Application, runtime: Runtime, paths: List[str]) -> Context:
    owners: Dict[str, Distribution] = {}
    named: Dict[str, Distribution] = {}
    for path in paths:
        found = distributions.installed(path)
        for top, dist in distributions.owners(found).items():
            owners.setdefault(top, dist)
        for dist in found:
            named.setdefault(distributions.normalised(dist.name), dist)
    return Context(
        os.path.abspath(app.app_dir),
        runtime.record["stdlib_dir"],
        runtime.record["extension_dir"],
        paths,
        standard_names(runtime),
        owners,
        named,
    )


def owner(context: Context, name: str, origin: str) -> Optional[Distribution]:
    """The third-party distribution of a found module, None for the
    standard library's and the application's."""
    top = name.split(".")[0]
    for path in context.paths:
        if _under(origin, path) or (
            origin == "namespace" and os.path.isdir(os.path.join(path, top))
        ):
            return context.owners.get(top) or Distribution(top, path, None, frozenset({top}), ())
    return None


def display_name(context: Context, origin: str) -> str:
    """The name tracebacks show for a module file: its path below the
    directory it was found in."""
    for directory in [context.app_dir, context.stdlib_dir, *context.paths]:
        if _under(origin, directory):
            return os.path.relpath(origin, directory).replace(os.sep, "/")
    return origin


def _facts_reader(context: Context) -> "closure.FactsReader":
    facts: Dict[str, closure.ModuleFacts] = {}

    def facts_of(name: str, origin: str) -> Optional[closure.ModuleFacts]:
        if not origin.endswith(".py"):
            return None
        if origin not in facts:
            display = display_name(context, origin)

            def read() -> Dict[str, Any]:
                data = pack_cache.bytecode(origin, display, analysis.bytecode_file)
                return closure.facts_to_json(closure.module_facts(marshal.loads(data[16:])))

            known = pack_cache.remembered_file("facts", origin, display + FACTS_VERSION, read)
            facts[origin] = closure.facts_from_json(known)
        return facts[origin]

    return facts_of


def _follow_rule(context: Context, not_followed: List[Tuple[str, str]]) -> closure.FollowRule:
    def follow(
        importer: str, origin: str, item: Import, target: str, lazy: bool
    ) -> closure.Following:
        if _under(origin, context.stdlib_dir):
            # The standard library imports inside functions what few runs
            # need (the traceback module alone would pull in hundreds of
            # modules); only its packages' lazy imports of their own parts
            # are followed.
            same = target.split(".")[0] == importer.split(".")[0] and "." in importer + target
            return "skip" if item.in_function and not same else "lazy" if lazy else "eager"
        importing = owner(context, importer, origin)
        if importing is None:
            return "eager"  # the application's own
        optional = item.where & (IN_FUNCTION_OPTIONAL if item.in_function else OPTIONAL)
        later = lazy or item.in_function or bool(optional)
        top = target.split(".")[0]
        imported = context.owners.get(top)
        if later and imported is not None and _in_test_suite(target):
            return "skip"  # a package's own test runner, which runs its tests
        if top in context.standard or imported is None or imported.name == importing.name:
            return "lazy" if later else "eager"
        if lazy or optional:
            # Another distribution, imported by code that may never run:
            # lazily reached code, one branch only (a platform's, an older
            # Python's), a function's fallback or attempt: optional.
            not_followed.append((target, importer))
            return "skip"
        # Another distribution that the code reached imports when it runs
        # (perhaps inside a function): it ships, and is followed as such.
        return "eager"

    return follow


def _in_test_suite(module: str) -> bool:
    """Whether a third-party module belongs to a package's test suite."""
    suites = rules.third_party_imports().test_suite_directories
    return any(part in suites for part in module.split(".")[1:])


def _whole_stdlib_roots(runtime: Runtime) -> List[str]:
    roots = []
    for directory in (runtime.record["stdlib_dir"], runtime.record["extension_dir"]):
        for name in sorted(os.listdir(directory)):
            stem = name.split(".", 1)[0]
            path = os.path.join(directory, name)
            if rules.left_out_of_stdlib(name) or not analysis.valid_module_part(stem):
                continue
            if os.path.isfile(os.path.join(path, "__init__.py")):
                roots += closure.submodules(directory, stem)
            elif os.path.isfile(path) and name.endswith((".py",) + analysis.EXTENSION_SUFFIXES):
                roots.append(stem)
    return roots


def _roots(app: analysis.Application, runtime: Runtime, options: PackOptions) -> List[str]:
    app_modules = [f.module for f in app.files if f.module is not None]
    roots = ["sys", *RUNTIME_ROOTS, *options.includes, *app_modules]
    if options.freeze_gc:
        roots.append("gc")
    if options.whole_stdlib:
        roots += _whole_stdlib_roots(runtime)
    return roots


def _whole_packages(found: Closure, stdlib_dir: str) -> List[str]:
    """The modules of the packages shipped whole that the closure triggers."""
    added = []
    for trigger, packages in rules.stdlib_imports().whole_packages.items():
        if trigger in found.modules:
            for package in packages:
                if package not in found.modules or package in found.packages:
                    added += closure.submodules(stdlib_dir, package)
    return added


def _shipped(context: Context, found: Closure) -> Dict[str, Distribution]:
    """The distributions that modules reached at once belong to (lazily
    reached ones only ever need their own), with those their metadata
    requires (markers evaluated here, extras as the requirement names
    them), by normalised name."""
    shipped: Dict[str, Distribution] = {}
    extras: Dict[str, Set[str]] = {}
    pending = []
    for name, origin in found.modules.items():
        dist = None if name in found.lazy else owner(context, name, origin)
        if dist is not None and distributions.normalised(dist.name) not in shipped:
            shipped[distributions.normalised(dist.name)] = dist
            pending.append(dist)
    while pending:
        dist = pending.pop()
        for required, asked in distributions.required_names(
            dist, extras.get(distributions.normalised(dist.name), set())
        ):
            extras.setdefault(required, set()).update(asked)
            if required in context.named and required not in shipped:
                shipped[required] = context.named[required]
                pending.append(context.named[required])
    return shipped


def _required_only(shipped: Dict[str, Distribution], found: Closure) -> List[str]:
    """The top-level modules of the distributions that ship only because
    metadata requires them: reached as if imported."""
    roots = []
    for dist in shipped.values():
        if not any(top in found.modules for top in dist.tops):
            roots += [top for top in sorted(dist.tops) if _installed_top(dist.site, top)]
    return roots


def _installed_top(site: str, top: str) -> bool:
    return os.path.isdir(os.path.join(site, top)) or bool(distributions.top_files(site, top))


def _probe_targets(context: Context, found: Closure, probed: Dict[str, List[str]]) -> List[str]:
    """Compiled modules reached and not yet probed: built-in ones, the
    interpreter's extension modules and third-party ones."""
    return [
        name
        for name, origin in found.modules.items()
        if name not in probed
        and (
            origin == "built-in"
            or (
                origin.endswith(analysis.EXTENSION_SUFFIXES)
                and any(_under(origin, d) for d in [context.extension_dir, *context.paths])
            )
        )
    ]


def _probe(context: Context, found: Closure, names: List[str]) -> Dict[str, List[str]]:
    """What each compiled module imports as it loads; remembered by file."""
    by_origin = {found.modules[name]: name for name in names}
    files = [origin for origin in by_origin if origin != "built-in"]
    results = closure.c_module_imports(
        [name for name in names if found.modules[name] == "built-in"], context.paths
    )

    def probe_files(unknown: List[str]) -> Dict[str, List[str]]:
        fresh = closure.c_module_imports([by_origin[o] for o in unknown], context.paths)
        return {origin: fresh.get(by_origin[origin], []) for origin in unknown}

    extra = sys.executable + "\0" + "\0".join(context.paths)
    for origin, modules in pack_cache.remembered_each("probe", files, extra, probe_files).items():
        results[by_origin[origin]] = modules
    return results


def find_closure(
    app: analysis.Application, runtime: Runtime, options: PackOptions, paths: List[str]
) -> Needed:
    """The modules the application needs, found again until the packages
    shipped whole, the distributions' requirements and what compiled
    modules import add nothing new."""
    context = make_context(app, runtime, paths)
    not_followed: List[Tuple[str, str]] = []
    search_rules = closure.Rules(
        [context.app_dir, context.stdlib_dir, context.extension_dir] + paths,
        set(options.excludes),
        _follow_rule(context, not_followed),
        _facts_reader(context),
        _run_time_imports(),
        rules.third_party_imports().moves,
    )
    roots = _roots(app, runtime, options)
    probed: Dict[str, List[str]] = {}
    lazy_roots: Set[str] = set()
    while True:
        not_followed.clear()
        found = closure.bytecode_imports_closure(roots, search_rules, lazy_roots)
        shipped = _shipped(context, found)
        added = _whole_packages(found, context.stdlib_dir) + _required_only(shipped, found)
        probed.update(_probe(context, found, _probe_targets(context, found, probed)))
        from_c_modules = {m for modules in probed.values() for m in modules}
        # What lazily reached compiled modules load is reached lazily too.
        eager = {m for n, modules in probed.items() if n not in found.lazy for m in modules}
        lazy_roots = (lazy_roots | from_c_modules) - eager
        added += sorted(from_c_modules)
        added = [n for n in added if n not in found.modules and n not in roots]
        if not added:
            break
        roots += added
    outside = [d for d in rules.third_party_imports().outside_data if d.when in found.modules]
    return Needed(
        found,
        [shipped[key] for key in sorted(shipped)],
        from_c_modules,
        sorted(set(not_followed)),
        [d for d in outside if os.path.isdir(d.source)],
        context,
    )


def _run_time_imports() -> Dict[str, Tuple[str, ...]]:
    """The standard library's run-time imports, with the interpreter's
    names filled in."""
    values = {
        "abiflags": sys.abiflags,
        "multiarch": getattr(sys.implementation, "_multiarch", ""),
    }
    return {
        name: tuple(target.format(**values) for target in targets)
        for name, targets in rules.stdlib_imports().run_time_imports.items()
    }
