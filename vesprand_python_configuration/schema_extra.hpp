// Declaring a settings document's undeclared top-level keys in a JSON schema:
// each key the schema's "properties" lacks is declared with the JSON type of
// its value, gathered under properties["extra"]. Used by the schema extension
// of toolchest and, when no settings file is at hand, by settingsmith.
#pragma once

#include <string_view>

#include "rt.hpp"

namespace schema_extra {

using namespace rt::literals;

// The JSON Schema type of a value, from the name of its Python type.
inline const char* json_type_of(rt::Borrowed value) {
  std::string_view name = value.type()->tp_name;
  if (name == "int") return "integer";
  if (name == "float") return "number";
  if (name == "bool") return "boolean";
  if (name == "list") return "array";
  if (name == "dict") return "object";
  if (name == "NoneType") return "null";
  return "string";
}

inline rt::Ref type_entry(const char* json_type) {
  rt::Ref entry = rt::new_dict();
  entry.set_item("type"_n, rt::str(json_type));
  return entry;
}

// Declares the undeclared keys of `settings` in `schema`; leaves the schema
// as it was when every key is declared.
inline void declare(rt::Borrowed schema, rt::Borrowed settings) {
  rt::Ref declared = rt::new_dict();
  for (const rt::Ref& pair : rt::Iterate(settings.method("items"_n))) {
    auto [key, value] = rt::unpack<2>(pair);
    if (!schema.item("properties"_n).contains(key))
      declared.set_item(key, type_entry(json_type_of(value)));
  }
  if (PyDict_GET_SIZE(declared.get()) == 0) return;
  rt::Ref extra = type_entry("object");
  extra.set_item("properties"_n, declared);
  schema.item("properties"_n).set_item("extra"_n, extra);
}

}  // namespace schema_extra
