"""What a pack tells about the closure: by default, one line for each
distribution (or the application) with imports that cannot be found; under
--verbose, why each module and distribution ships (the chain of imports
that reached it) and what was left out."""

from typing import Dict, List, Tuple

from . import rules
from .closure import ROOT
from .needs import APPLICATION, Needed, owner


def chain(needed: Needed, module: str) -> str:
    """module <- the module that imported it <- ... <- a root."""
    importers = needed.closure.importers
    links = [module]
    while links[-1] in importers and importers[links[-1]] != ROOT and len(links) < 50:
        links.append(importers[links[-1]])
        if links[-1] in links[:-1]:
            break
    if links[-1] in needed.from_c_modules:
        links.append("(loaded with a compiled module)")
    return " <- ".join(links)


def _group_of(needed: Needed, importer: str) -> str:
    """Whose import it is: a distribution's name, the application's, or
    "" for the standard library's (made for other systems)."""
    origin = needed.closure.modules.get(importer, "")
    dist = owner(needed.context, importer, origin)
    if dist is not None:
        return dist.name
    if origin.startswith(needed.context.app_dir + "/"):
        return APPLICATION
    return ""


def _missing(needed: Needed) -> List[Tuple[str, str]]:
    """(missing name, importer) of the imports that need a file and have none."""
    provided = rules.stdlib_imports().provided_at_run_time
    return sorted(
        {
            (missing, importer)
            for missing, importer in needed.closure.unresolved
            if missing not in provided
            and not (importer == ROOT and missing in needed.from_c_modules)
        }
    )


def _reason(needed: Needed, missing: str, importer: str, group: str) -> str:
    if not group:
        return " (serves other systems)"
    if (missing, importer) in needed.closure.optional:
        return " (optional: only in a branch, or in code reached lazily)"
    return ""


def unresolved_warnings(needed: Needed) -> Tuple[List[str], List[str]]:
    """(warnings, details): one warning for each group of imports that
    reached modules make and that cannot be found; the details name every
    such import with its chain, and the standard library's imports that
    serve other systems."""
    groups: Dict[str, List[Tuple[str, str]]] = {}
    warnings = []
    details = []
    for missing, importer in _missing(needed):
        if importer == ROOT:
            warnings.append("module %s not found (given with --include)" % missing)
            continue
        group = _group_of(needed, importer)
        details.append(
            "not found: %s, imported by %s%s"
            % (missing, chain(needed, importer), _reason(needed, missing, importer, group))
        )
        if group and (missing, importer) not in needed.closure.optional:
            groups.setdefault(group, []).append((missing, importer))
    for group, misses in sorted(groups.items()):
        names = sorted({m if group != APPLICATION else "%s (in %s)" % (m, i) for m, i in misses})
        warnings.append(
            "%d import%s of %s not found: %s"
            % (len(names), "" if len(names) == 1 else "s", group, ", ".join(names))
        )
    return warnings, details


def reasons(needed: Needed) -> List[str]:
    """Why each module and distribution ships, and what was left out."""
    lines = []
    for module in sorted(needed.closure.modules):
        lines.append("module %s" % chain(needed, module))
    shipped = {dist.name for dist in needed.distributions}
    for dist in needed.distributions:
        reached = sorted(t for t in dist.tops if t in needed.closure.modules)
        how = ("imported: " + chain(needed, reached[0])) if reached else "required by metadata"
        lines.append("distribution %s (%s)" % (dist.name, how))
    for target, importer in needed.not_followed:
        other = needed.context.owners.get(target.split(".")[0])
        if other is not None and other.name not in shipped:
            lines.append(
                "left out: %s, imported by %s only in a branch, a fallback or code reached "
                "lazily (optional; --include %s ships it)"
                % (target, importer, target.split(".")[0])
            )
    for data in needed.outside_data:
        lines.append("data %s -> lib/%s (with %s)" % (data.source, data.target, data.when))
    return lines
