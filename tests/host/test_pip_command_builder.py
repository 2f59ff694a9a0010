import sys

import pytest
from pip._internal.models.index import PyPI

from quenlet_master.business_layer.packages.pip_command_builder import PipCommandBuilder
from quenlet_master.config.settings import SettingsManager

A, B, C = "http://127.0.0.1:1/simple/", "http://127.0.0.1:2/simple/", "http://127.0.0.1:3/simple/"


def option_values(cmd, option):
    return [cmd[i + 1] for i, arg in enumerate(cmd) if arg == option]


@pytest.mark.parametrize("settings", [None, SettingsManager()], ids=["no-manager", "empty-manager"])
def test_defaults_install_from_the_public_index(settings):
    cmd = PipCommandBuilder(settings).build_install_command("requests==2.31.0", "/tmp/target")
    assert cmd[:6] == [sys.executable, "-m", "pip", "install", "--target", "/tmp/target"]
    assert cmd[-1] == "requests==2.31.0"
    assert {"--disable-pip-version-check", "--no-input"} <= set(cmd)
    assert option_values(cmd, "--index-url") == [PyPI.simple_url.rstrip("/") + "/"]
    assert option_values(cmd, "--extra-index-url") == []
    assert option_values(cmd, "--retries") == ["3"]
    assert "--no-deps" not in cmd and "--prefer-binary" not in cmd


@pytest.mark.parametrize(
    ("index_urls", "use_secondary", "index_url", "extra_urls"),
    [
        ([{"url": A, "primary": True}, {"url": B}, {"url": C}], True, [A], [B, C]),
        ([{"url": A, "primary": True}, {"url": B}, {"url": C}], False, [A], []),
        ([{"url": B}, {"url": A, "primary": True}], True, [A], [B]),
        ([{"url": A, "primary": True}, {"url": B, "primary": True}, {"url": C}], True, [B], [C]),
        ([{"url": B, "primary": False}, {"url": C}], True, [B], [C]),
    ],
    ids=[
        "primary-and-secondaries",
        "secondaries-off",
        "primary-listed-last",
        "last-primary-wins",
        "no-primary",
    ],
)
def test_index_options_follow_the_search_plan(index_urls, use_secondary, index_url, extra_urls):
    settings = SettingsManager(
        {
            "package_management.pip.index_urls": index_urls,
            "package_management.pip.use_secondary_urls": use_secondary,
        }
    )
    cmd = PipCommandBuilder(settings).build_install_command("pkg", "/t")
    assert option_values(cmd, "--index-url") == index_url
    assert option_values(cmd, "--extra-index-url") == extra_urls
    assert "--no-index" not in cmd


@pytest.mark.parametrize("index_urls", [[], [{"url": B}]])
def test_no_searchable_index_means_no_index_at_all(index_urls):
    settings = SettingsManager({"package_management.pip.index_urls": index_urls})
    cmd = PipCommandBuilder(settings).build_install_command("pkg", "/t")
    assert "--no-index" in cmd and "--index-url" not in cmd


def test_settings_are_read_at_every_call():
    settings = SettingsManager({"package_management.pip.index_urls": [{"url": A, "primary": True}]})
    builder = PipCommandBuilder(settings)
    assert option_values(builder.build_install_command("pkg", "/t"), "--index-url") == [A]
    settings.set("package_management.pip.index_urls", [{"url": C, "primary": True}])
    settings.set("package_management.pip.retries", 0)
    cmd = builder.build_install_command("pkg", "/t")
    assert option_values(cmd, "--index-url") == [C]
    assert option_values(cmd, "--retries") == ["0"]


def test_flags_and_spec_position():
    cmd = PipCommandBuilder(None).build_install_command(
        "pkg[a,b]==1.0", "/t", no_deps=True, prefer_binary=True
    )
    assert "--no-deps" in cmd and "--prefer-binary" in cmd
    assert cmd[-1] == "pkg[a,b]==1.0"
    assert cmd.count("pkg[a,b]==1.0") == 1


@pytest.mark.parametrize(
    ("key", "value", "error"),
    [
        ("package_management.pip.retries", "many", ValueError),
        ("package_management.pip.retries", -1, ValueError),
        ("package_management.pip.retries", 2.5, TypeError),
        ("package_management.pip.index_urls", [{"primary": True}], TypeError),
        ("package_management.pip.index_urls", "http://127.0.0.1/simple", TypeError),
    ],
)
def test_malformed_settings_fail_before_pip_runs(key, value, error):
    with pytest.raises(error):
        PipCommandBuilder(SettingsManager({key: value})).build_install_command("pkg", "/t")
