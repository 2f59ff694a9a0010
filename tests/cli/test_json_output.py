"""Every command's JSON against one description of it, the one the README's table gives."""

import json
import re
from pathlib import Path

import pytest
from cli_support import needs_check, needs_finder, needs_manager

README = Path(__file__).resolve().parents[2] / "README.md"

ITEM_TYPES = frozenset({"stdout", "stderr", "success", "path", "cached", "error"})
DEPENDENCY = {"name": str, "version_spec": str, "extras": [str], "markers": str}
INSTALL_ITEM = {"type": ITEM_TYPES, "content": str}
DOCUMENTS = {
    "versions": {"package": str, "versions": [str]},
    "extras": {"package": str, "version": str, "extras": [str]},
    "deps": {"package": str, "version": str, "dependencies": [DEPENDENCY]},
    "find": {"package": str, "version": str | None, "index_url": str},
    "check": {
        "package": str,
        "specifier": str,
        "extras": [str],
        "satisfied": bool,
        "installed_version": str | None,
    },
    "info": {"package": str, "name": str | None, "latest_version": str | None, "summary": str | None},
    "install": INSTALL_ITEM,
    "cache-install": INSTALL_ITEM,
}
ERROR = {"error": str, "exit_status": int}
# README rows that are not a command's, by their first cell.
README_ROWS = {"dependency object": DEPENDENCY, "error object": ERROR}


def mismatches(value, shape, where="$"):
    """Where ``value`` departs from ``shape``: a type (or union), a set of allowed strings, a
    one-element list for a list of that shape, or a dict of exactly these fields."""
    if isinstance(shape, dict):
        if not isinstance(value, dict) or value.keys() != shape.keys():
            found = sorted(value) if isinstance(value, dict) else value
            return [f"{where}: fields {found!r}, not {sorted(shape)}"]
        return [m for key in shape for m in mismatches(value[key], shape[key], f"{where}.{key}")]
    if isinstance(shape, list):
        if not isinstance(value, list):
            return [f"{where}: {value!r} is not a list"]
        return [m for i, item in enumerate(value) for m in mismatches(item, shape[0], f"{where}[{i}]")]
    if isinstance(shape, frozenset):
        return [] if value in shape else [f"{where}: {value!r} is not one of {sorted(shape)}"]
    # bool is an int to isinstance; an integer field never takes true or false
    if isinstance(value, bool) and shape is int:
        return [f"{where}: {value!r} is not an integer"]
    return [] if isinstance(value, shape) else [f"{where}: {value!r} is not {shape}"]


def json_objects(text):
    """Every JSON object in the output, however it is laid out (a document, or one per line)."""
    decoder, objects, position = json.JSONDecoder(), [], 0
    while text[position:].strip():
        position += len(text[position:]) - len(text[position:].lstrip())
        obj, position = decoder.raw_decode(text, position)
        objects.append(obj)
    return objects


def check_output(run, command):
    """Every object is the command's (or the error object), and a failure ends with the error."""
    objects = json_objects(run.out)
    assert objects, run.err
    for obj in objects:
        assert obj.get("schema_version") == 1 and obj.get("command") == command
        fields = {k: v for k, v in obj.items() if k not in ("schema_version", "command")}
        shape = ERROR if "error" in obj else DOCUMENTS[command]
        assert mismatches(fields, shape) == []
    answered = run.status == 0 or (command == "check" and "error" not in objects[-1])
    assert ("error" not in objects[-1]) == answered
    if not answered:
        assert objects[-1]["exit_status"] == run.status and all("error" not in o for o in objects[:-1])
    return objects


QUERIES = [
    pytest.param(["versions", "sample-pkg"], 0, marks=needs_finder),
    pytest.param(["versions", "no-such-pkg"], 1, marks=needs_finder),
    pytest.param(["extras", "sample-pkg", "10.0"], 0, marks=needs_finder),
    pytest.param(["extras", "sample-pkg", "1.0"], 0, marks=needs_finder),
    pytest.param(["extras", "sample-pkg", "3.0"], 1, marks=needs_finder),
    pytest.param(["deps", "sample-pkg", "10.0"], 0, marks=needs_finder),
    pytest.param(["find", "sample-pkg"], 0, marks=needs_finder),
    pytest.param(["find", "sample-pkg", "9.0"], 0, marks=needs_finder),
    pytest.param(["find", "no-such-pkg"], 1, marks=needs_finder),
    pytest.param(["check", "packaging>=20"], 0, marks=needs_check),
    pytest.param(["check", "packaging[no-such-extra]>=9999"], 1, marks=needs_check),
    pytest.param(["check", "no-such-pkg"], 1, marks=needs_check),
    pytest.param(["install", "sample-pkg==10.0", "--target", "site"], 0, marks=needs_manager),
    pytest.param(["install", "sample-pkg==99.0", "--target", "site"], 1, marks=needs_manager),
    pytest.param(["install", "sample-pkg>=1"], 2, marks=needs_manager),
    pytest.param(["cache-install", "sample-pkg", "10.0", "--extra", "fast"], 0, marks=needs_manager),
]


@pytest.mark.parametrize(("argv", "status"), QUERIES)
def test_every_command_writes_the_json_described(cli, settings_file, argv, status):
    run = cli("--settings", settings_file, "--json", *argv)
    assert run.status == status, run.err
    check_output(run, argv[0])


@needs_manager
@pytest.mark.parametrize(("name", "status"), [("sample-pkg", 0), ("no-such-pkg", 1)])
def test_info_writes_the_json_described(cli, sample_index, public_index_at, name, status):
    run = cli("info", name, "--json", env=public_index_at(sample_index))
    assert run.status == status, run.err
    check_output(run, "info")


def test_arguments_that_do_not_parse_still_give_the_error_object(cli):
    run = cli("--json", "versoins", "x")
    (error,) = json_objects(run.out)
    assert run.status == 2 and error["command"] is None
    assert mismatches({k: v for k, v in error.items() if k not in ("schema_version", "command")}, ERROR) == []


def readme_rows():
    if not README.is_file():
        pytest.skip("the README is not beside the tests (installed package only)")
    section = README.read_text().split("### JSON output", 1)[1].split("\n### ", 1)[0]
    rows = re.findall(r"^\| (.+?) \| (.+?) \|$", section, re.MULTILINE)
    table = dict(rows[1 : [name for name, _ in rows].index("error object") + 1])  # after the heading
    return {name: re.findall(r"`(\w+)` \(", fields) for name, fields in table.items()}


def test_the_readme_table_names_the_fields_described():
    described = {
        f"`{command}`": list(shape) for command, shape in DOCUMENTS.items() if command != "cache-install"
    }
    described["`install`, `cache-install`"] = described.pop("`install`")
    described |= {name: list(shape) for name, shape in README_ROWS.items()}
    assert readme_rows() == described
