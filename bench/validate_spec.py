"""validate_package_spec against the same checks written as a plain Python function.

.venv/bin/python bench/validate_spec.py
"""

import re
import timeit

from quenlet_master.business_layer.packages.manager import validate_package_spec

PATTERN = re.compile(
    r"^[a-zA-Z0-9][a-zA-Z0-9._-]*(\[[a-zA-Z0-9,._-]+\])?(==|>=|<=|>|<|!=|~=)?[a-zA-Z0-9._-]*$"
)
FORBIDDEN = [";", "|", "&", "$", "`", "(", ")", "{", "}", "<", ">", "\n", "\r"]


def plain_validate(package_spec):
    if not isinstance(package_spec, str):
        raise TypeError("package_spec must be a string")
    if not package_spec:
        return (False, "Package spec cannot be empty")
    if len(package_spec) > 256:
        return (False, "Package spec too long (max 256 characters)")
    for char in FORBIDDEN:
        if char in package_spec:
            return (False, f"Package spec contains invalid character: {char}")
    if not PATTERN.match(package_spec):
        return (False, "Package spec contains invalid format")
    return (True, "")


SPECS = [
    "requests[socks,security]==2.31.0",
    "numpy",
    "pandas~=2.1",
    "numpy>=1.20",
    "pkg 1.0",
    "scikit-learn==1.3.2",
]


def best_of(function, number=200_000, repeat=5) -> float:
    timer = timeit.Timer(lambda: [function(spec) for spec in SPECS])
    return min(timer.repeat(repeat, number // len(SPECS))) / number


def main() -> None:
    assert [validate_package_spec(s) for s in SPECS] == [plain_validate(s) for s in SPECS]
    native, plain = best_of(validate_package_spec), best_of(plain_validate)
    print(f"native {native * 1e9:.0f} ns/call, plain Python {plain * 1e9:.0f} ns/call, {plain / native:.1f}x")


if __name__ == "__main__":
    main()
