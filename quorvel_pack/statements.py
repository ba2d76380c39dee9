"""Import statements read from bytecode, with where each stands: inside a
function or not, in which kind of branch, and whether it only runs for
type checkers (then it is left out)."""

import dis
from types import CodeType
from typing import Callable, FrozenSet, List, NamedTuple, Set, Tuple

# Where an import statement stands: in the body of an `if` ("if") or of its
# `else` ("else"), in an exception handler ("handler"), in a `try` body
# whose handler catches a failed import ("try").
Place = str
IMPORT_ERRORS = frozenset({"ImportError", "ModuleNotFoundError", "Exception", "BaseException"})
# Loads of a name, as `if TYPE_CHECKING:` and `if typing.TYPE_CHECKING:` do.
NAME_LOADS = frozenset({"LOAD_NAME", "LOAD_GLOBAL", "LOAD_ATTR", "LOAD_METHOD"})
TYPE_CHECKING = "TYPE_CHECKING"
CO_NEWLOCALS = 0x02  # set for functions, not for class bodies


class Import(NamedTuple):
    """One import statement: `from ... import` names in fromlist, relative
    imports with level > 0; in_function when it runs only when called;
    where: the kinds of branch it stands in."""

    name: str
    level: int
    fromlist: Tuple[str, ...]
    in_function: bool
    where: FrozenSet[Place] = frozenset()


Spans = List[Tuple[int, int]]
PlaceOf = Callable[[int], FrozenSet[Place]]


def _type_checking_blocks(instructions: List[dis.Instruction]) -> Spans:
    """(start, end) offsets of the code run only `if TYPE_CHECKING:`: from
    the load of that name to the target of the jump taken when it is false."""
    blocks = []
    for load, jump in zip(instructions, instructions[1:]):
        if (
            load.opname in NAME_LOADS
            and load.argval == TYPE_CHECKING
            and jump.opname.startswith("POP_JUMP")
            and jump.opname.endswith("IF_FALSE")
            and isinstance(jump.argval, int)
        ):
            blocks.append((load.offset, jump.argval))
    return blocks


def _branches(instructions: List[dis.Instruction], type_checking: Spans) -> Tuple[Spans, Spans]:
    """(if bodies, else bodies): what a conditional forward jump skips (but
    for the test that picks an exception handler, and `if TYPE_CHECKING:`),
    and what the jump at the end of that body skips."""
    jumps_to = {i.offset + 2: i for i in instructions if i.opname == "JUMP_FORWARD"}
    if_bodies, else_bodies = [], []
    for test, jump in zip(instructions, instructions[1:]):
        if (
            jump.opname.startswith("POP_JUMP_FORWARD")
            and isinstance(jump.argval, int)
            and test.opname != "CHECK_EXC_MATCH"
            and (test.offset, jump.argval) not in type_checking
        ):
            if_bodies.append((jump.offset, jump.argval))
            skip = jumps_to.get(jump.argval)
            if skip is not None and isinstance(skip.argval, int):
                else_bodies.append((jump.argval - 1, skip.argval))
    return if_bodies, else_bodies


def _in_handlers(instructions: List[dis.Instruction]) -> Set[int]:
    """Offsets of the instructions inside exception handlers."""
    inside = set()
    depth = 0
    for instruction in instructions:
        if instruction.opname == "PUSH_EXC_INFO":
            depth += 1
        elif instruction.opname == "POP_EXCEPT":
            depth = max(0, depth - 1)
        if depth:
            inside.add(instruction.offset)
    return inside


def _catches_import_errors(instructions: List[dis.Instruction], handler: int) -> bool:
    """Whether the handler at offset handler catches a failed import (or
    everything)."""
    started = False
    for instruction in instructions:
        if instruction.offset == handler:
            started = instruction.opname == "PUSH_EXC_INFO"
            continue
        if not started:
            continue
        if instruction.opname in NAME_LOADS and instruction.argval in IMPORT_ERRORS:
            return True
        if instruction.opname in ("CHECK_EXC_MATCH", "RERAISE", "POP_EXCEPT"):
            return False
        if instruction.opname == "POP_TOP":
            return True  # a bare except
    return False


def _tried(code: CodeType, instructions: List[dis.Instruction]) -> Spans:
    """(start, end) offsets of the `try` bodies whose handler catches a
    failed import."""
    entries = dis._parse_exception_table(code)  # type: ignore[attr-defined]
    return [
        (entry.start, entry.end)
        for entry in entries
        if not entry.lasti and _catches_import_errors(instructions, entry.target)
    ]


def _places(code: CodeType, instructions: List[dis.Instruction], blocks: Spans) -> PlaceOf:
    if_bodies, else_bodies = _branches(instructions, blocks)
    handlers = _in_handlers(instructions)
    tried = _tried(code, instructions)

    def place_of(offset: int) -> FrozenSet[Place]:
        where = set()
        for place, spans in (("if", if_bodies), ("else", else_bodies)):
            if any(start < offset < end for start, end in spans):
                where.add(place)
        if any(start <= offset < end for start, end in tried):
            where.add("try")
        if offset in handlers:
            where.add("handler")
        return frozenset(where)

    return place_of


def _scan(code: CodeType, in_function: bool, found: List[Import]) -> None:
    constants: List[object] = []
    instructions = list(dis.get_instructions(code))
    blocks = _type_checking_blocks(instructions)
    place_of = _places(code, instructions, blocks)
    for instruction in instructions:
        if instruction.opname == "LOAD_CONST":
            constants.append(instruction.argval)
            continue
        if any(start < instruction.offset < end for start, end in blocks):
            constants = []
            continue
        if instruction.opname == "IMPORT_NAME" and len(constants) >= 2:
            level, fromlist = constants[-2], constants[-1]
            if isinstance(level, int):
                names = tuple(fromlist) if isinstance(fromlist, tuple) else ()
                where = place_of(instruction.offset)
                found.append(Import(instruction.argval, level, names, in_function, where))
        constants = []
    for constant in code.co_consts:
        if isinstance(constant, CodeType):
            # Class bodies run at import; functions only when called.
            nested_is_function = bool(constant.co_flags & CO_NEWLOCALS)
            _scan(constant, in_function or nested_is_function, found)


def module_imports(code: CodeType) -> List[Import]:
    """Import statements of a code object and of the code nested in it,
    but for those that run only for type checkers."""
    found: List[Import] = []
    _scan(code, False, found)
    return found
