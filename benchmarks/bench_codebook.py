"""EnumUtils.get_key and get_value against the same class written in Python:
class methods walking __members__.items() comparing .value, and reading
enum_class[key].value.

    PYTHONPATH=build /usr/bin/python3 benchmarks/bench_codebook.py
"""

from harness import Case, run, repeat

from vesprand_python_configuration.codebook import EnumUtils, SentimentEnum, SocialMedia


class PyEnumUtils:
    @classmethod
    def get_key(cls, enum_class, value):
        for name, member in enum_class.__members__.items():
            if member.value == value:
                return name
        raise ValueError("Invalid enum value")

    @classmethod
    def get_value(cls, enum_class, key):
        return enum_class[key].value


# (label, arguments): first and last members of a short and a long
# enumeration, since get_key is a linear walk.
CALLS = [
    ("get_key", (SentimentEnum, 0)),
    ("get_key", (SocialMedia, 1)),
    ("get_key", (SocialMedia, 38)),
    ("get_value", (SentimentEnum, "Multiple")),
    ("get_value", (SocialMedia, "GBM")),
]


def cases(stack):
    number = 20_000
    out = []
    for method, args in CALLS:
        native, python = getattr(EnumUtils, method), getattr(PyEnumUtils, method)
        assert native(*args) == python(*args)
        shown = ", ".join(getattr(a, "__name__", repr(a)) for a in args)
        out.append(
            Case(f"codebook EnumUtils.{method}({shown}) / Python",
                 repeat(lambda f=native, a=args: f(*a), number),
                 repeat(lambda f=python, a=args: f(*a), number), ops=number)  # fmt: skip
        )
    return out


if __name__ == "__main__":
    run(cases)
