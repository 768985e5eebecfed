// Utilities and chat alerts: the JSON-schema extension of the settings loader.
#include "rt.hpp"
#include "schema_extra.hpp"

namespace {

using namespace rt;

// Reads the settings file and declares its undeclared keys in the schema.
Ref add_extra_properties_to_schema(Call& call, Borrowed schema, Borrowed appsettings_path) {
  Ref file = call.global("open"_n)(appsettings_path, str("r"));
  Ref appsettings =
      with(file, [&](Borrowed f) { return call.global("json"_n).method("load"_n, f); });
  schema_extra::declare(schema, appsettings);
  return schema.ref();
}

void body(Module& m) {
  m.import("asyncio");
  m.import("json");
  m.import("logging");
  m.from_import("typing", {"Optional", "Union", "Dict", "Any"});
  m.import("aiohttp");
  m.import("requests");
  m.def({.name = "add_extra_properties_to_schema",
         .params = {{"schema", "Dict[str, Any]"}, {"appsettings_path", "str"}},
         .returns = "Dict[str, Any]",
         .body = add_extra_properties_to_schema});
}

}  // namespace

RT_MODULE(toolchest, nullptr, body)
