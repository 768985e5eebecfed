// Enumerations: the shared enumerations of the services' domain, and
// EnumUtils, which converts between their member names and integer codes.
#include <span>
#include <utility>

#include "rt.hpp"

namespace {

using namespace rt;

// ------------------------------------------------------------ member tables

struct Member {
  const char* name;
  int value;
};

struct Enumeration {
  const char* name;
  std::span<const Member> members;  // in definition order
};

// Codes 8, 9, 25 to 30 and 34 are unused.
constexpr Member bulk_operation_members[] = {
    {"Tag", 0},
    {"Retag", 1},
    {"Close", 2},
    {"Delete", 3},
    {"TagChildren", 4},
    {"DeleteChildren", 5},
    {"UpdateInfluencer", 6},
    {"UpdateCampaign", 7},
    {"MarkSeenBulk", 10},
    {"MarkSeenSelectBulk", 11},
    {"MarkChildAsSeen", 12},
    {"UpdateCampaignChild", 13},
    {"GroupViewSeenSingleFullThread", 14},
    {"TagChildrenFullThread", 15},
    {"BulkSeenGroupViewFullThread", 16},
    {"TagChildGroupViewDuration", 17},
    {"TagChildGroupViewDurationFullThread", 18},
    {"GroupViewUpdateChildpostsDuration", 19},
    {"GroupViewUpdateChildpostsDurationFullThread", 20},
    {"BulkSeenGroupViewQuery", 21},
    {"BulkSeenGroupViewQueryFullThread", 22},
    {"BulkSeenGroupViewQueryDuration", 23},
    {"BulkDeleteGroupViewMainPage", 24},
    {"EditDeleteFromSocial", 31},
    {"DeleteFromSocial", 32},
    {"DeleteFromSocialChild", 33},
    {"PermanentDelete", 35},
    {"PermanentDeleteQuery", 36},
    {"RestoringDeletedMentions", 37},
    {"RestoreQuery", 38},
    {"BlockLastNDayAuthor", 39},
    {"BlockSingleAuthor", 40},
    {"OnlyUnblockAuthor", 41},
    {"RestoreMention", 42},
    {"RetagCategory", 43},
    {"RetagSentiment", 44},
    {"RetagCategoryAndSentiment", 45},
    {"RetagUpperCategory", 46},
    {"RetagUpperCategoryAndCategory", 47},
    {"RetagUpperCategorySentimentAndCategory", 48},
};

constexpr Member sentiment_members[] = {
    {"Neutral", 0}, {"Positive", 1}, {"Negative", 2}, {"PassivePositive", 3}, {"Multiple", 4},
};

// Codes start at 1; 34 and 35 are unused. GMB and GBM are distinct members.
constexpr Member social_media_members[] = {
    {"Twitter", 1},
    {"Facebook", 2},
    {"Instagram", 3},
    {"YouTube", 4},
    {"LinkedIn", 5},
    {"GooglePlus", 6},
    {"GooglePlayStore", 7},
    {"AutomotiveIndia", 8},
    {"Blogs", 9},
    {"BookingCom", 10},
    {"ComplaintWebsites", 11},
    {"CustomerCare", 12},
    {"DiscussionForums", 13},
    {"ECommerceWebsites", 14},
    {"ExpediaCom", 15},
    {"HolidayIQ", 16},
    {"MakeMyTrip", 17},
    {"MyGov", 18},
    {"News", 19},
    {"ReviewWebsites", 20},
    {"TeamBHP", 21},
    {"TripAdvisor", 22},
    {"Videos", 23},
    {"Zomato", 24},
    {"Email", 25},
    {"GMB", 26},
    {"ExternalMedia", 27},
    {"WhatsApp", 28},
    {"ChatBot", 29},
    {"AppStore", 30},
    {"Discourse", 31},
    {"VOIP", 32},
    {"Glassdoor", 33},
    {"Quora", 36},
    {"Tiktok", 37},
    {"GBM", 38},
};

// Code 2 is unused.
constexpr Member columns_type_members[] = {
    {"Simple", 0},
    {"Complex", 1},
    {"SimpleRawQuery", 3},
};

// The member names are the column names themselves.
constexpr Member primary_column_name_members[] = {
    {"tagid", 0},          {"u_authorid", 1},           {"channelgroupid", 2},
    {"authorsocialid", 3}, {"authorchannelgroupid", 4}, {"accountid", 5},
    {"uniqueid", 6},       {"createddate", 7},
};

// Codes start at 1.
constexpr Member status_members[] = {
    {"initiated", 1}, {"picked", 2},        {"in_progress", 3}, {"completed", 4},
    {"error", 5},     {"parent_failed", 6}, {"stop", 7},        {"failed", 8},
};

// The member names are the table names themselves.
constexpr Member table_name_members[] = {
    {"mentiondetails", 0}, {"mstuserinformation", 1},     {"audiencegrowthdetails", 2},
    {"page_stats", 3},     {"mstuserinformation_new", 4},
};

// Codes 1 to 29 without gaps; there is no code 0.
constexpr Member media_members[] = {
    {"TEXT", 1},
    {"IMAGE", 2},
    {"VIDEO", 3},
    {"URL", 4},
    {"POLL", 5},
    {"OTHER", 6},
    {"ANIMATEDGIF", 7},
    {"PDF", 8},
    {"DOC", 9},
    {"EXCEL", 10},
    {"AUDIO", 11},
    {"CONTACT", 12},
    {"SYSTEM", 13},
    {"LOCATIONS", 14},
    {"HTML", 15},
    {"CARD", 16},
    {"QUICKREPLY", 17},
    {"BUTTON", 18},
    {"FILE", 19},
    {"QUICKREPLYLOCATION", 20},
    {"PAYLOADBUTTONS", 21},
    {"PAYLOADBUTTONSWITHICONS", 22},
    {"IMAGEWITHSUBTITLE", 23},
    {"SLIDERBUTTONS", 24},
    {"SLIDERNOBUTTONS", 25},
    {"STICKER", 26},
    {"IMAGEANDVIDEOGROUP", 27},
    {"PING", 28},
    {"ALBUM", 29},
};

// The enumerations, in the order the module defines them.
constexpr Enumeration enumerations[] = {
    {"BulkOperationEnumClickHouse", bulk_operation_members},
    {"SentimentEnum", sentiment_members},
    {"SocialMedia", social_media_members},
    {"ColumnsType", columns_type_members},
    {"PrimaryColumnNameEnum", primary_column_name_members},
    {"StatusEnum", status_members},
    {"TableName", table_name_members},
    {"MediaEnum", media_members},
};

// Creates one enumeration as a direct subclass of `enum_base` through the
// functional form: Enum(name, [(member, value), ...], module=..., qualname=...).
Ref make_enumeration(const Module& m, Borrowed enum_base, const Enumeration& e) {
  Ref members = new_list();
  for (const Member& member : e.members)
    list_append(members, tuple(str(member.name), integer(member.value)));
  Ref name = str(e.name);
  return enum_base.call({name, members},
                        {{"module"_n, module_name(m.object())}, {"qualname"_n, name}});
}

// ----------------------------------------------------------------- EnumUtils

// The name of the first member, in definition order, whose value equals
// `value`; a linear walk of __members__, with no index kept between calls.
Ref get_key(Borrowed, Borrowed enum_class, Borrowed value) {
  Ref members = enum_class.attr("__members__"_n).method("items"_n);
  for (const Ref& pair : Iterate(members)) {
    auto [name, member] = unpack<2>(pair);
    if (member.attr("value"_n).equals(value)) return name;
  }
  raise(PyExc_ValueError, "Invalid enum value");
}

// The value of the member named `key`, by the enumeration's own lookup.
Ref get_value(Borrowed, Borrowed enum_class, Borrowed key) {
  return enum_class.item(key).attr("value"_n);
}

void body(Module& m) {
  m.from_import("enum", {"Enum"});
  m.from_import("typing", {"Type", "TypeVar"});

  Ref enum_base = m.dict().dict_get("Enum"_n);
  // Set __module__ as a TypeVar made by this module's own code would have it.
  Ref type_var = m.dict().dict_get("TypeVar"_n).call({str("E")}, {{"bound"_n, enum_base}});
  type_var.set_attr("__module__"_n, module_name(m.object()));
  m.add("E", type_var);

  for (const Enumeration& e : enumerations) m.add(e.name, make_enumeration(m, enum_base, e));

  const Param cls{"cls"};
  const Param enum_class{"enum_class", "Type[E]"};
  m.cls("EnumUtils")
      .classmethod({.name = "get_key",
                    .params = {cls, enum_class, {"value", "int"}},
                    .returns = "str",
                    .body = get_key})
      .classmethod({.name = "get_value",
                    .params = {cls, enum_class, {"key", "str"}},
                    .returns = "int",
                    .body = get_value})
      .create();
}

}  // namespace

RT_MODULE(codebook, nullptr, body)
