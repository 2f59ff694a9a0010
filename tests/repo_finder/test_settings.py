"""Pip settings and the API-pattern list, read afresh from the host's settings on every call."""

from __future__ import annotations

import pytest

from .conftest import RecordingSettings

INDEX_URLS = "package_management.pip.index_urls"
USE_SECONDARY = "package_management.pip.use_secondary_urls"
RETRIES = "package_management.pip.retries"
PIP_API = "package_management.pip_api"


@pytest.fixture
def defaults(public_root):
    return {
        "index_urls": [{"url": f"{public_root}/simple/", "primary": True}],
        "api_list": [
            {
                "index_url": f"{public_root}/simple",
                "api_pattern": f"{public_root}/pypi/{{package_name}}/{{version}}/json",
            }
        ],
    }


class Falsy:
    def __bool__(self):
        return False

    def get(self, key, default):
        raise AssertionError("a false settings manager must not be asked")


@pytest.mark.parametrize("settings", [None, Falsy()], ids=["None", "false object"])
def test_without_a_settings_manager_the_defaults_are_used(repo_finder, defaults, settings):
    finder = repo_finder.RepoFinder(settings)
    assert finder._get_pip_settings() == {
        "index_urls": defaults["index_urls"],
        "use_secondary_urls": False,
        "retries": 3,
    }
    assert finder._get_pip_api_list() == defaults["api_list"]


def test_an_empty_settings_manager_gives_the_defaults_through_get(repo_finder, defaults):
    from quenlet_master.config import public_index

    settings = RecordingSettings()
    finder = repo_finder.RepoFinder(settings)
    pip_settings = finder._get_pip_settings()
    api_list = finder._get_pip_api_list()
    assert pip_settings == {"index_urls": defaults["index_urls"], "use_secondary_urls": False, "retries": 3}
    assert api_list == defaults["api_list"]
    assert settings.calls == [
        (INDEX_URLS, defaults["index_urls"]),
        (USE_SECONDARY, False),
        (RETRIES, 3),
        (PIP_API, defaults["api_list"]),
    ]
    # The same public index that the host's own configuration names.
    assert pip_settings["index_urls"] == public_index.default_index_urls()


def test_defaults_are_fresh_containers_on_every_call(finder):
    first = finder._get_pip_settings()
    first["index_urls"][0]["url"] = "changed"
    first["index_urls"].append({"url": "extra"})
    finder._get_pip_api_list()[0]["api_pattern"] = "changed"
    assert finder._get_pip_settings()["index_urls"][0]["url"].endswith("/simple/")
    assert len(finder._get_pip_settings()["index_urls"]) == 1
    assert finder._get_pip_api_list()[0]["api_pattern"].endswith("/{version}/json")


def test_a_changed_setting_takes_effect_on_the_next_call(repo_finder):
    settings = RecordingSettings({RETRIES: 5, USE_SECONDARY: True})
    finder = repo_finder.RepoFinder(settings)
    assert finder._get_pip_settings()["retries"] == 5
    urls = [{"url": "http://127.0.0.1:9/simple/", "primary": True}, {"url": "http://127.0.0.1:8/simple"}]
    settings.set(RETRIES, 7)
    settings.set(INDEX_URLS, urls)
    assert finder._get_pip_settings() == {"index_urls": urls, "use_secondary_urls": True, "retries": 7}
    entries = [{"index_url": "http://127.0.0.1:9/simple", "api_pattern": "http://127.0.0.1:9/{package_name}"}]
    settings.set(PIP_API, entries)
    assert finder._get_pip_api_list() == entries
    assert (
        finder._get_api_pattern_for_index("http://127.0.0.1:9/simple/") == "http://127.0.0.1:9/{package_name}"
    )


class Fixed:
    """Answers every key with one value, whatever the default."""

    def __init__(self, value):
        self.value = value

    def get(self, key, default):
        return self.value


def test_the_api_list_is_returned_as_stored_or_none(repo_finder):
    stored = [{"index_url": "a", "api_pattern": "b"}]
    assert repo_finder.RepoFinder(Fixed(stored))._get_pip_api_list() is stored
    assert repo_finder.RepoFinder(Fixed(None))._get_pip_api_list() is None


@pytest.mark.parametrize(
    "value", [({"index_url": "a"},), {"index_url": "a"}, "a"], ids=lambda value: type(value).__name__
)
def test_an_api_list_of_another_type_is_refused(repo_finder, value):
    with pytest.raises(TypeError, match=f"^Expected list, got {type(value).__name__}$"):
        repo_finder.RepoFinder(Fixed(value))._get_pip_api_list()


def test_errors_from_the_settings_manager_propagate(repo_finder):
    class Broken:
        def get(self, key, default):
            raise KeyError(key)

    finder = repo_finder.RepoFinder(Broken())
    with pytest.raises(KeyError, match=INDEX_URLS):
        finder._get_pip_settings()
    with pytest.raises(KeyError, match=PIP_API):
        finder._get_pip_api_list()
