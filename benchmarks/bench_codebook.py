"""EnumUtils.get_key and get_value against the bare Python operations they
wrap: a walk of __members__.items() comparing .value, and enum_class[key].value.

    PYTHONPATH=build /usr/bin/python3 benchmarks/bench_codebook.py
"""

from harness import Case, run

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
CALLS = [
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


def repeat(fn, number):
    def round_():
        for _ in range(number):
            fn()

    return round_


def cases(stack):
    number = 20_000
    out = []
    for label, native, python in CALLS:
        assert native() == python()
        out.append(
            Case(f"codebook EnumUtils.{label} / Python", repeat(native, number),
                 repeat(python, number), ops=number)  # fmt: skip
        )
    return out


if __name__ == "__main__":
    run(cases)
