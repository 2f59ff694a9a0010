import json
import logging

import pytest

from quenlet_master.config.logging_config import get_logger, setup_logging_subprocess
from quenlet_master.config.settings import SettingsManager

INDEX_URLS = [{"url": "http://127.0.0.1:1/simple/", "primary": True}, {"url": "http://127.0.0.1:2/simple/"}]


@pytest.mark.parametrize(
    "values",
    [
        {"package_management": {"pip": {"index_urls": INDEX_URLS, "retries": 5}}},
        {"package_management.pip.index_urls": INDEX_URLS, "package_management.pip.retries": 5},
        {"package_management": {"pip.index_urls": INDEX_URLS}, "package_management.pip": {"retries": 5}},
    ],
    ids=["nested", "dotted", "mixed"],
)
def test_nested_and_dotted_spellings_agree(values):
    settings = SettingsManager(values)
    assert settings.get("package_management.pip.index_urls") == INDEX_URLS
    assert settings.get("package_management.pip.retries") == 5
    assert settings.get("package_management.pip") == {"index_urls": INDEX_URLS, "retries": 5}


@pytest.mark.parametrize(
    "key",
    [
        "missing",
        "package_management.missing",
        "package_management.pip.retries.deeper",
        "package_management.pipx",
    ],
)
def test_missing_key_gives_default(key):
    settings = SettingsManager({"package_management.pip.retries": 5})
    sentinel = object()
    assert settings.get(key, sentinel) is sentinel
    assert settings.get(key) is None
    assert key not in settings


def test_stored_false_values_are_not_defaults():
    settings = SettingsManager({"package_management.pip.use_secondary_urls": False, "a.b": None})
    assert settings.get("package_management.pip.use_secondary_urls", True) is False
    assert settings.get("a.b", "default") is None


def test_set_is_seen_by_next_get_and_replaces_scalars_in_the_way():
    settings = SettingsManager()
    settings.set("package_management.pip.retries", 1)
    assert settings.get("package_management.pip.retries") == 1
    settings.set("package_management.pip.retries", 7)
    assert settings.get("package_management.pip.retries") == 7
    settings.set("package_management.pip.retries.limit", 2)
    assert settings.get("package_management.pip.retries") == {"limit": 2}
    assert settings.delete("package_management.pip.retries")
    assert not settings.delete("package_management.pip.retries")
    assert settings.get("package_management.pip.retries", 3) == 3


@pytest.mark.parametrize(
    ("change", "expected"),
    [
        (lambda settings: settings.set("pip.index.extra", 1), {"url": "u", "extra": 1}),
        (lambda settings: settings.update({"pip": {"index": {"url": "v"}}}), {"url": "v"}),
        (lambda settings: settings.delete("pip.index.url"), {}),
        (lambda settings: settings.set("pip", {"other": 1}), None),
    ],
    ids=["set below", "update", "delete below", "set above"],
)
def test_a_read_sees_every_change_made_after_it(change, expected):
    settings = SettingsManager({"pip.index.url": "u"})
    assert settings.get("pip.index") == {"url": "u"}
    change(settings)
    assert settings.get("pip.index") == expected


def test_callers_cannot_change_stored_containers():
    settings = SettingsManager({"package_management.pip.index_urls": INDEX_URLS})
    settings.get("package_management.pip.index_urls").append({"url": "x"})
    settings.get("package_management.pip.index_urls")[0]["primary"] = False
    assert settings.get("package_management.pip.index_urls") == INDEX_URLS


class Tagged(dict):
    pass


def shared_changeables(first, second):
    """Objects that can change in place and are reachable from both values at the same place."""
    if isinstance(first, (str, int, float, bool, type(None))):
        return []
    found = [first] if first is second else []
    if isinstance(first, dict):
        return found + [obj for key in first for obj in shared_changeables(first[key], second[key])]
    if isinstance(first, (list, tuple)):
        return found + [obj for a, b in zip(first, second, strict=True) for obj in shared_changeables(a, b)]
    return found


@pytest.mark.parametrize(
    "value",
    [
        [{"index_url": "http://127.0.0.1:1/simple/", "api_pattern": "x/{package_name}", "n": [1, 2.5, None]}],
        {"deep": {"er": [[True], {"set": {1, 2}}]}},
        [Tagged(url="u"), ("tuple", ["inside"])],
        Tagged(nested={"a": [1]}),
        INDEX_URLS,
        ["a", 1, None],
        {"url": "u", "primary": True},
        [{"url": "u"}, {"url": ["inside"]}],
    ],
    ids=[
        "json shapes",
        "a set inside",
        "subclass and tuple inside",
        "subclass outside",
        "dicts of plain values",
        "plain values",
        "a dict of plain values",
        "one dict not plain",
    ],
)
def test_every_read_is_an_equal_copy_sharing_nothing_changeable(value):
    settings = SettingsManager()
    settings.set("package_management.pip_api", value)
    first, second = settings.get("package_management.pip_api"), settings.get("package_management.pip_api")
    assert first == value and type(first) is type(value)
    assert shared_changeables(first, second) == [] and shared_changeables(first, value) == []


def test_file_loading_and_reload(tmp_path):
    path = tmp_path / "settings.json"
    path.write_text(
        json.dumps({"package_management": {"pip": {"retries": 4}}, "package_management.pip_api": []})
    )
    settings = SettingsManager.from_file(path)
    assert settings.get("package_management.pip.retries") == 4
    assert settings.get("package_management.pip_api", None) == []
    # Explicit values override the file's.
    assert (
        SettingsManager({"package_management.pip.retries": 9}, path=path).get(
            "package_management.pip.retries"
        )
        == 9
    )
    path.write_text(json.dumps({"package_management.pip.retries": 6}))
    settings.reload()
    assert settings.get("package_management.pip.retries") == 6
    assert settings.get("package_management.pip_api") is None


def test_empty_manager_is_still_truthy():
    # The index client skips a false settings manager entirely; an empty store must still be asked.
    assert SettingsManager()


def test_subprocess_logging_setup_is_idempotent(capsys):
    root = logging.getLogger()
    before = list(root.handlers)
    level = root.level
    try:
        setup_logging_subprocess()
        setup_logging_subprocess(logging.DEBUG)
        added = [h for h in root.handlers if h not in before]
        assert len(added) == 1
        get_logger("quenlet_master.tests.host").debug("worker says hello")
        err = capsys.readouterr().err
        assert err.count("worker says hello") == 1
        assert "DEBUG" in err and "quenlet_master.tests.host" in err
    finally:
        for handler in root.handlers[:]:
            if handler not in before:
                root.removeHandler(handler)
        root.setLevel(level)
