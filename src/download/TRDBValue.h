#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

// One stored value as the download store sees it: absent, text, integer, real or bytes.
using TRDBValue = std::variant<std::monostate, std::string, int64_t, double, std::vector<uint8_t>>;
// One stored row: column name to value; absent values leave their column out.
using TRDBRow = std::map<std::string, TRDBValue>;
