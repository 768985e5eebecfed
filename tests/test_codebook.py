import enum
import inspect
import pickle
import typing
from types import SimpleNamespace

import pytest

from vesprand_python_configuration import codebook
from vesprand_python_configuration.codebook import (
    EnumUtils,
    SentimentEnum,
    SocialMedia,
    StatusEnum,
    TableName,
)

MODULE = "vesprand_python_configuration.codebook"

# Every enumeration with its members in definition order: the shared contract.
TABLES = {
    "BulkOperationEnumClickHouse": [
        ("Tag", 0), ("Retag", 1), ("Close", 2), ("Delete", 3), ("TagChildren", 4),
        ("DeleteChildren", 5), ("UpdateInfluencer", 6), ("UpdateCampaign", 7),
        ("MarkSeenBulk", 10), ("MarkSeenSelectBulk", 11), ("MarkChildAsSeen", 12),
        ("UpdateCampaignChild", 13), ("GroupViewSeenSingleFullThread", 14),
        ("TagChildrenFullThread", 15), ("BulkSeenGroupViewFullThread", 16),
        ("TagChildGroupViewDuration", 17), ("TagChildGroupViewDurationFullThread", 18),
        ("GroupViewUpdateChildpostsDuration", 19),
        ("GroupViewUpdateChildpostsDurationFullThread", 20), ("BulkSeenGroupViewQuery", 21),
        ("BulkSeenGroupViewQueryFullThread", 22), ("BulkSeenGroupViewQueryDuration", 23),
        ("BulkDeleteGroupViewMainPage", 24), ("EditDeleteFromSocial", 31),
        ("DeleteFromSocial", 32), ("DeleteFromSocialChild", 33), ("PermanentDelete", 35),
        ("PermanentDeleteQuery", 36), ("RestoringDeletedMentions", 37), ("RestoreQuery", 38),
        ("BlockLastNDayAuthor", 39), ("BlockSingleAuthor", 40), ("OnlyUnblockAuthor", 41),
        ("RestoreMention", 42), ("RetagCategory", 43), ("RetagSentiment", 44),
        ("RetagCategoryAndSentiment", 45), ("RetagUpperCategory", 46),
        ("RetagUpperCategoryAndCategory", 47), ("RetagUpperCategorySentimentAndCategory", 48),
    ],
    "SentimentEnum": [
        ("Neutral", 0), ("Positive", 1), ("Negative", 2), ("PassivePositive", 3), ("Multiple", 4),
    ],
    "SocialMedia": [
        ("Twitter", 1), ("Facebook", 2), ("Instagram", 3), ("YouTube", 4), ("LinkedIn", 5),
        ("GooglePlus", 6), ("GooglePlayStore", 7), ("AutomotiveIndia", 8), ("Blogs", 9),
        ("BookingCom", 10), ("ComplaintWebsites", 11), ("CustomerCare", 12),
        ("DiscussionForums", 13), ("ECommerceWebsites", 14), ("ExpediaCom", 15),
        ("HolidayIQ", 16), ("MakeMyTrip", 17), ("MyGov", 18), ("News", 19),
        ("ReviewWebsites", 20), ("TeamBHP", 21), ("TripAdvisor", 22), ("Videos", 23),
        ("Zomato", 24), ("Email", 25), ("GMB", 26), ("ExternalMedia", 27), ("WhatsApp", 28),
        ("ChatBot", 29), ("AppStore", 30), ("Discourse", 31), ("VOIP", 32), ("Glassdoor", 33),
        ("Quora", 36), ("Tiktok", 37), ("GBM", 38),
    ],
    "ColumnsType": [("Simple", 0), ("Complex", 1), ("SimpleRawQuery", 3)],
    "PrimaryColumnNameEnum": [
        ("tagid", 0), ("u_authorid", 1), ("channelgroupid", 2), ("authorsocialid", 3),
        ("authorchannelgroupid", 4), ("accountid", 5), ("uniqueid", 6), ("createddate", 7),
    ],
    "StatusEnum": [
        ("initiated", 1), ("picked", 2), ("in_progress", 3), ("completed", 4), ("error", 5),
        ("parent_failed", 6), ("stop", 7), ("failed", 8),
    ],
    "TableName": [
        ("mentiondetails", 0), ("mstuserinformation", 1), ("audiencegrowthdetails", 2),
        ("page_stats", 3), ("mstuserinformation_new", 4),
    ],
    "MediaEnum": [
        ("TEXT", 1), ("IMAGE", 2), ("VIDEO", 3), ("URL", 4), ("POLL", 5), ("OTHER", 6),
        ("ANIMATEDGIF", 7), ("PDF", 8), ("DOC", 9), ("EXCEL", 10), ("AUDIO", 11),
        ("CONTACT", 12), ("SYSTEM", 13), ("LOCATIONS", 14), ("HTML", 15), ("CARD", 16),
        ("QUICKREPLY", 17), ("BUTTON", 18), ("FILE", 19), ("QUICKREPLYLOCATION", 20),
        ("PAYLOADBUTTONS", 21), ("PAYLOADBUTTONSWITHICONS", 22), ("IMAGEWITHSUBTITLE", 23),
        ("SLIDERBUTTONS", 24), ("SLIDERNOBUTTONS", 25), ("STICKER", 26),
        ("IMAGEANDVIDEOGROUP", 27), ("PING", 28), ("ALBUM", 29),
    ],
}  # fmt: skip

MEMBERS = [(e, name, code) for e, table in TABLES.items() for name, code in table]
# Codes inside and just outside each enumeration's range that no member uses.
GAPS = [
    (e, code)
    for e, table in TABLES.items()
    for code in range(min(c for _, c in table) - 1, max(c for _, c in table) + 2)
    if code not in {c for _, c in table}
]


def test_module_binds_its_names_in_order():
    names = [n for n in vars(codebook) if not n.startswith("__")]
    assert names == ["Enum", "Type", "TypeVar", "E", *TABLES, "EnumUtils"]
    assert codebook.Enum is enum.Enum
    assert codebook.Type is typing.Type and codebook.TypeVar is typing.TypeVar
    assert codebook.E.__name__ == "E" and codebook.E.__bound__ is enum.Enum
    assert codebook.E.__module__ == MODULE


@pytest.mark.parametrize("enum_name", TABLES)
def test_table(enum_name):
    cls = getattr(codebook, enum_name)
    assert [(m.name, m.value) for m in cls] == TABLES[enum_name]
    assert list(cls.__members__) == [name for name, _ in TABLES[enum_name]]  # no aliases
    assert all(type(m.value) is int for m in cls)


@pytest.mark.parametrize("enum_name", TABLES)
def test_class_shape(enum_name):
    class Probe(enum.Enum):
        a = 1

    cls = getattr(codebook, enum_name)
    assert cls.__bases__ == (enum.Enum,) and type(cls) is enum.EnumMeta
    assert cls.__module__ == MODULE and cls.__qualname__ == enum_name
    assert cls.__doc__ is None
    # Nothing beyond what a plain class statement defines.
    assert set(vars(cls)) - set(cls.__members__) == set(vars(Probe)) - {"a"}
    first = next(iter(cls))
    assert pickle.loads(pickle.dumps(first)) is first
    assert first != first.value


@pytest.mark.parametrize("enum_name,name,code", MEMBERS)
def test_lookups(enum_name, name, code):
    cls = getattr(codebook, enum_name)
    assert cls(code) is cls[name]
    assert EnumUtils.get_key(cls, code) == name
    assert EnumUtils.get_value(cls, name) == code


@pytest.mark.parametrize("enum_name,code", GAPS)
def test_gaps(enum_name, code):
    cls = getattr(codebook, enum_name)
    with pytest.raises(ValueError):
        cls(code)
    with pytest.raises(ValueError, match="^Invalid enum value$"):
        EnumUtils.get_key(cls, code)


def test_gap_list_matches_documented_gaps():
    by_enum = {}
    for e, code in GAPS:
        by_enum.setdefault(e, []).append(code)
    assert by_enum["BulkOperationEnumClickHouse"] == [-1, 8, 9, 25, 26, 27, 28, 29, 30, 34, 49]
    assert by_enum["SocialMedia"] == [0, 34, 35, 39]
    assert by_enum["ColumnsType"] == [-1, 2, 4]
    assert by_enum["StatusEnum"] == [0, 9] and by_enum["MediaEnum"] == [0, 30]


@pytest.mark.parametrize("name", ["TAGID", "Tagid", "tagId", " tagid", "tagid "])
def test_names_are_case_sensitive(name):
    with pytest.raises(KeyError):
        codebook.PrimaryColumnNameEnum[name]
    with pytest.raises(KeyError) as info:
        EnumUtils.get_value(codebook.PrimaryColumnNameEnum, name)
    assert info.value.args == (name,)


def test_helpers_bind_as_class_methods():
    assert EnumUtils.__bases__ == (object,) and type(EnumUtils) is type
    assert EnumUtils.__doc__ is None and EnumUtils.__module__ == MODULE
    assert EnumUtils().get_key(SocialMedia, 28) == "WhatsApp"
    assert EnumUtils.get_key(enum_class=SocialMedia, value=26) == "GMB"
    assert EnumUtils.get_value(key="page_stats", enum_class=TableName) == 3
    assert EnumUtils.get_key.__qualname__ == "EnumUtils.get_key"


@pytest.mark.parametrize(
    "method,signature",
    [
        (EnumUtils.get_key, "(enum_class: 'Type[E]', value: 'int') -> 'str'"),
        (EnumUtils.get_value, "(enum_class: 'Type[E]', key: 'str') -> 'int'"),
    ],
)
def test_signature(method, signature):
    assert str(inspect.signature(method)) == signature


class MyInt(int):
    pass


class MyStr(str):
    pass


@pytest.mark.parametrize(
    "method,enum_class,arg,expected,got",
    [
        ("get_key", SentimentEnum, True, "int", "bool"),
        ("get_key", SentimentEnum, SentimentEnum.Positive, "int", "SentimentEnum"),
        ("get_key", SentimentEnum, None, "int", "NoneType"),
        ("get_key", SentimentEnum, 1.0, "int", "float"),
        ("get_key", SentimentEnum, "1", "int", "str"),
        ("get_key", SentimentEnum, MyInt(1), "int", "MyInt"),
        ("get_key", None, False, "int", "bool"),  # checked before enum_class is used
        ("get_value", StatusEnum, MyStr("failed"), "str", "MyStr"),
        ("get_value", StatusEnum, StatusEnum.failed, "str", "StatusEnum"),
        ("get_value", StatusEnum, None, "str", "NoneType"),
        ("get_value", StatusEnum, 8, "str", "int"),
        ("get_value", StatusEnum, b"failed", "str", "bytes"),
        ("get_value", None, None, "str", "NoneType"),
    ],
)
def test_argument_types(method, enum_class, arg, expected, got):
    name = "value" if method == "get_key" else "key"
    message = f"Argument '{name}' has incorrect type (expected {expected}, got {got})"
    with pytest.raises(TypeError) as info:
        getattr(EnumUtils, method)(enum_class, arg)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda: EnumUtils.get_key(), "get_key() takes exactly 3 positional arguments (1 given)"),
        (lambda: EnumUtils.get_key(SentimentEnum), "get_key() takes exactly 3 positional arguments (2 given)"),
        (lambda: EnumUtils.get_key(SentimentEnum, 1, 2), "get_key() takes exactly 3 positional arguments (4 given)"),
        (lambda: EnumUtils.get_value(StatusEnum), "get_value() takes exactly 3 positional arguments (2 given)"),
        (lambda: EnumUtils.get_key(SentimentEnum, 1, value=1), "get_key() got multiple values for argument 'value'"),
        (lambda: EnumUtils.get_key(SentimentEnum, key="x"), "get_key() got an unexpected keyword argument 'key'"),
    ],
)  # fmt: skip
def test_argument_counts(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


class StrValues(enum.Enum):
    red = "r"
    blue = "b"


class Fuzzy:
    """A value equal to everything, by a truthy non-bool result."""

    def __eq__(self, other):
        return "yes"


def members(**entries):
    return type("Foreign", (), {"__members__": entries})


def test_foreign_enumerations():
    assert EnumUtils.get_key(enum.Enum("Floats", [("a", 2.5), ("b", 3.0)]), 3) == "b"
    assert EnumUtils.get_key(members(first=SimpleNamespace(value=Fuzzy())), 9) == "first"
    dup = members(one=SimpleNamespace(value=7), two=SimpleNamespace(value=7))
    assert EnumUtils.get_key(dup, 7) == "one"
    assert EnumUtils.get_value(enum.Enum("Nothing", [("none", None)]), "none") is None
    with pytest.raises(ValueError, match="^Invalid enum value$"):
        EnumUtils.get_key(StrValues, 1)
    with pytest.raises(TypeError, match="^Expected int, got str$"):
        EnumUtils.get_value(StrValues, "red")
    with pytest.raises(TypeError, match="^Expected str, got int$"):
        EnumUtils.get_key(type("Foreign", (), {"__members__": {5: SimpleNamespace(value=5)}}), 5)
    with pytest.raises(AttributeError, match="__members__"):
        EnumUtils.get_key(int, 1)


def test_repeated_calls_do_not_leak(assert_no_leak):
    def op():
        EnumUtils.get_key(SocialMedia, 38)
        EnumUtils.get_value(StatusEnum, "failed")
        for call, error in [
            (lambda: EnumUtils.get_key(SocialMedia, 34), ValueError),
            (lambda: EnumUtils.get_key(SocialMedia, True), TypeError),
            (lambda: EnumUtils.get_key(SocialMedia), TypeError),
            (lambda: EnumUtils.get_key(object, 1), AttributeError),
            (lambda: EnumUtils.get_value(StatusEnum, "Failed"), KeyError),
            (lambda: EnumUtils.get_value(StatusEnum, None), TypeError),
            (lambda: EnumUtils.get_value(StrValues, "red"), TypeError),
        ]:
            try:
                call()
            except error:
                pass
            else:
                raise AssertionError("no error")

    assert_no_leak(op)


def items_of(*pairs):
    return type("Foreign", (), {"__members__": SimpleNamespace(items=lambda: pairs)})


@pytest.mark.parametrize(
    "pairs,error,message",
    [
        ([5], TypeError, "cannot unpack non-iterable int object"),
        (["a"], ValueError, r"not enough values to unpack \(expected 2, got 1\)"),
        ([("a", 1, 2)], ValueError, r"too many values to unpack \(expected 2\)"),
    ],
)
def test_members_unpack_like_a_for_loop(pairs, error, message):
    lists = items_of(["x", SimpleNamespace(value=0)], ["a", SimpleNamespace(value=1)])
    assert EnumUtils.get_key(lists, 1) == "a"
    with pytest.raises(error, match=f"^{message}$"):
        EnumUtils.get_key(items_of(*pairs), 1)
