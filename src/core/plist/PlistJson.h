#pragma once

#include "plist/PropertyList.h"

#include <nlohmann/json.hpp>

namespace daemonary {

// A property-list value as JSON: dictionaries as objects (keys in their
// order), arrays, strings, integers, reals and booleans as themselves; dates
// and data, which JSON has no type for, as their text form
// ("2024-03-05 06:07:08 +0000", "<deadbeef>"), as are reals JSON cannot hold.
nlohmann::ordered_json toJson(const PlistValue& value);

} // namespace daemonary
