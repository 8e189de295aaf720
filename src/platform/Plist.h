#pragma once

#include <plist/plist.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orsa::platform {

// A property-list node tree owned by whoever holds it.
struct PlistFree {
  void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// Small reads and writes over libplist's nodes, shared by the resume data of the transfer
// service and of the download records. Reads of a node of another type (or of none) give the
// empty value, so hostile documents never reach libplist's type assertions.
namespace plist {

bool isType(plist_t node, plist_type type);
std::string stringOf(plist_t node);
std::vector<uint8_t> dataOf(plist_t node);
// An integer node's value; libplist keeps negative integers as their bits.
std::optional<int64_t> integerOf(plist_t node);

void setString(plist_t dict, const char* key, const std::string& value);
void setInteger(plist_t dict, const char* key, int64_t value);
void setData(plist_t dict, const char* key, const std::vector<uint8_t>& bytes);

// The node as an XML or a binary property list; empty when libplist cannot write it.
std::vector<uint8_t> serialize(plist_t node, bool xml);

// Whether libplist's XML parser may be given this text: it recurses once per container and
// aborts on a string holding a NUL, so the text must have no NUL and at most `maxContainers`
// container tags (wherever they stand, comments and CDATA included: that bounds the depth from
// above).
bool xmlWithinLimits(std::string_view text, size_t maxContainers);

}  // namespace plist
}  // namespace orsa::platform
