"""Arguments by keyword. (Wrong types are refused as tests/reliability/test_argument_types.py shows.)"""

from __future__ import annotations


def test_arguments_may_be_given_by_keyword(finder):
    assert finder._normalize_name(name="A.B") == "a-b"
    assert finder._normalize_url(url="x/") == "x"
    assert finder._parse_requirement(req="a>=1")["name"] == "a"
    assert (
        finder.check_specifier_in_dist(package_name="no-such-dist-installed", version_spec="", extras=None)
        is None
    )
