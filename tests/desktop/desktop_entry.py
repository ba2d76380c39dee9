"""Reading desktop entries back the way a desktop does, for the tests."""

import re
import subprocess

STRING_ESCAPES = {"s": " ", "n": "\n", "t": "\t", "r": "\r", "\\": "\\"}


def read_entry(path: str) -> dict:
    """The keys of the [Desktop Entry] group, values as written."""
    keys = {}
    with open(path, encoding="utf-8") as entry:
        lines = entry.read().splitlines()
    assert lines[0] == "[Desktop Entry]", lines[0]
    for line in lines[1:]:
        key, _, value = line.partition("=")
        keys[key] = value
    return keys


def string_value(value: str) -> str:
    return re.sub(r"\\(.)", lambda m: STRING_ESCAPES.get(m.group(1), "\\" + m.group(1)), value)


def exec_arguments(value: str) -> list:
    """The Exec key as arguments: string escapes first, then the quoting
    rules, then %% as a literal percent; field codes stay as they are."""
    text = string_value(value)
    arguments, i = [], 0
    while i < len(text):
        if text[i] == " ":
            i += 1
            continue
        argument = ""
        if text[i] == '"':
            i += 1
            while text[i] != '"':
                if text[i] == "\\":
                    assert text[i + 1] in '"`$\\', f"bad escape in {value!r}"
                    i += 1
                argument += text[i]
                i += 1
            i += 1
        else:
            while i < len(text) and text[i] != " ":
                argument += text[i]
                i += 1
        arguments.append(
            argument if re.fullmatch(r"%[fFuUick]", argument) else argument.replace("%%", "%")
        )
    return arguments


def validate(path: str) -> str:
    """desktop-file-validate's complaints; empty when the entry is valid."""
    result = subprocess.run(
        ["desktop-file-validate", path], capture_output=True, text=True, timeout=60
    )
    return (result.stdout + result.stderr).strip() if result.returncode != 0 else ""
