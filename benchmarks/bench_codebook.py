"""Times EnumUtils.get_key and get_value against the bare Python operations
they wrap: a walk of __members__.items() comparing .value, and
enum_class[key].value.

Run with the built package on the path:
    PYTHONPATH=<build dir> python3 -P benchmarks/bench_codebook.py
"""

import timeit

from vesprand_python_configuration.codebook import EnumUtils, SentimentEnum, SocialMedia


def py_get_key(enum_class, value):
    for name, member in enum_class.__members__.items():
        if member.value == value:
            return name
    raise ValueError("Invalid enum value")


def py_get_value(enum_class, key):
    return enum_class[key].value


# (label, native call, Python call): first and last members of a short and a
# long enumeration, since get_key is a linear walk.
CASES = [
    ("get_key(SentimentEnum, 0)",
     lambda: EnumUtils.get_key(SentimentEnum, 0), lambda: py_get_key(SentimentEnum, 0)),
    ("get_key(SocialMedia, 1)",
     lambda: EnumUtils.get_key(SocialMedia, 1), lambda: py_get_key(SocialMedia, 1)),
    ("get_key(SocialMedia, 38)",
     lambda: EnumUtils.get_key(SocialMedia, 38), lambda: py_get_key(SocialMedia, 38)),
    ("get_value(SentimentEnum, 'Multiple')",
     lambda: EnumUtils.get_value(SentimentEnum, "Multiple"),
     lambda: py_get_value(SentimentEnum, "Multiple")),
    ("get_value(SocialMedia, 'GBM')",
     lambda: EnumUtils.get_value(SocialMedia, "GBM"), lambda: py_get_value(SocialMedia, "GBM")),
]  # fmt: skip


def rate(call, number):
    best = min(timeit.repeat(call, number=number, repeat=5))
    return number / best


def main():
    number = 50_000
    print(f"{'operation':40} {'native calls/s':>15} {'python calls/s':>15} {'ratio':>7}")
    for label, native, python in CASES:
        assert native() == python()
        n, p = rate(native, number), rate(python, number)
        print(f"{label:40} {n:15,.0f} {p:15,.0f} {n / p:7.2f}")
    print("ratio = native calls/s / python calls/s (above 1: native is faster)")


if __name__ == "__main__":
    main()
