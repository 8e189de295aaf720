#include "download/TRResumeData.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include <fmt/format.h>

#include "platform/Console.h"
#include "platform/Utf8.h"

namespace {

// The download classes speak to the console only, never to the log file.
constexpr const char* kModule = "TRResumeData";

// The transfer service's root-object key; some service versions wrote the constant's name
// instead, which is what the request repair undoes.
constexpr const char* kRootObjectKey = "root";
constexpr const char* kLiteralRootKey = "NSKeyedArchiveRootObjectKey";

using orsa::platform::kResumeCurrentRequestKey;
using orsa::platform::kResumeOriginalRequestKey;
using orsa::platform::plist::dataOf;
using orsa::platform::plist::isType;
using orsa::platform::plist::stringOf;
constexpr std::string_view kByteRangeEntry = "<key>NSURLSessionResumeByteRange</key>";
constexpr std::string_view kStringEntryEnd = "</string>\n\t";

// Resume data is a few kilobytes. libplist's parsers recurse once per nesting level and copy a
// binary plist's shared objects once per reference, so what reaches them is bounded first: a
// few hundred bytes of hostile input could otherwise nest past the stack or expand to 2^40 nodes.
constexpr size_t kMaxInputBytes = size_t{4} << 20;
constexpr uint64_t kMaxSharedNodes = uint64_t{1} << 16;  // or the input's size, if larger
constexpr int kMaxNesting = 256;
// Archived objects refer to each other by number, so decoding one nests independently of the
// property list's own nesting.
constexpr int kMaxDepth = 64;

// The seconds between the Unix epoch and the property-list epoch (2001-01-01).
constexpr int64_t kPlistEpochOffset = 978307200;

std::atomic<double>& versionSetting() {
  static std::atomic<double> version{
      TRResumeData::versionValue(TRResumeData::kDefaultSystemVersion)};
  return version;
}

uint64_t readBigEndian(const uint8_t* p, unsigned bytes) {
  uint64_t v = 0;
  for (unsigned i = 0; i < bytes; ++i) v = (v << 8) | p[i];
  return v;
}

// Counts the nodes libplist builds for a binary plist (every reference parsed anew), without
// building them. Anything this scan cannot follow is refused: libplist would refuse it too.
class BinaryPlistScan {
 public:
  BinaryPlistScan(const uint8_t* data, size_t size)
      : data_(data), maxNodes_(std::max<uint64_t>(kMaxSharedNodes, size)) {
    if (size < 8 + 32) return;
    const uint8_t* trailer = data + size - 32;
    offsetSize_ = trailer[6];
    refSize_ = trailer[7];
    count_ = readBigEndian(trailer + 8, 8);
    root_ = readBigEndian(trailer + 16, 8);
    tableStart_ = readBigEndian(trailer + 24, 8);
    const uint64_t tableEnd = size - 32;
    valid_ = offsetSize_ >= 1 && offsetSize_ <= 8 && refSize_ >= 1 && refSize_ <= 8 && count_ > 0 &&
             root_ < count_ && tableStart_ >= 8 && tableStart_ < tableEnd &&
             count_ <= (tableEnd - tableStart_) / offsetSize_;
  }

  bool withinLimits() {
    if (!valid_) return false;
    state_.assign(count_, 0);
    nodes_.assign(count_, 0);
    return nodesOf(root_, 0) != 0;
  }

 private:
  // 0 means refused: a cycle, too deep, too many nodes or a malformed object.
  uint64_t nodesOf(uint64_t index, int depth) {
    if (state_[index] == 2) return nodes_[index];
    if (state_[index] == 1 || depth > kMaxNesting) return 0;
    uint64_t pos = readBigEndian(data_ + tableStart_ + index * offsetSize_, offsetSize_);
    if (pos < 8 || pos >= tableStart_) return 0;
    const unsigned type = data_[pos] >> 4;
    uint64_t n = data_[pos] & 0xF;
    ++pos;
    const bool container = type >= 0xA && type <= 0xD;  // array, ordered set, set, dict
    const bool text = type >= 0x5 && type <= 0x7;       // ASCII, UTF-16, UTF-8
    if ((container || text) && n == 0xF) {
      if (pos >= tableStart_ || (data_[pos] >> 4) != 0x1 || (data_[pos] & 0xF) > 3) return 0;
      const unsigned bytes = 1u << (data_[pos] & 0xF);
      ++pos;
      if (bytes > tableStart_ - pos) return 0;
      n = readBigEndian(data_ + pos, bytes);
      pos += bytes;
    }
    if (text) {
      // libplist aborts when it hands out a string with a NUL inside, so none may get in.
      const uint64_t unit = type == 0x6 ? 2 : 1;
      if (n > (tableStart_ - pos) / unit) return 0;
      for (const uint8_t* c = data_ + pos; c < data_ + pos + n * unit; c += unit) {
        if (c[0] == 0 && (unit == 1 || c[1] == 0)) return 0;
      }
    }
    uint64_t total = 1;
    if (container) {
      if (n > tableStart_) return 0;
      const uint64_t refs = type == 0xD ? 2 * n : n;
      if (refs > (tableStart_ - pos) / refSize_) return 0;
      state_[index] = 1;
      for (uint64_t r = 0; r < refs; ++r) {
        const uint64_t ref = readBigEndian(data_ + pos + r * refSize_, refSize_);
        if (ref >= count_) return 0;
        const uint64_t child = nodesOf(ref, depth + 1);
        if (child == 0) return 0;
        total += child;
        if (total > maxNodes_) return 0;
      }
    }
    state_[index] = 2;
    nodes_[index] = static_cast<uint32_t>(total);
    return total;
  }

  const uint8_t* data_;
  uint64_t maxNodes_;
  bool valid_ = false;
  unsigned offsetSize_ = 0;
  unsigned refSize_ = 0;
  uint64_t count_ = 0;
  uint64_t root_ = 0;
  uint64_t tableStart_ = 0;
  std::vector<uint8_t> state_;   // 0 unseen, 1 being counted, 2 counted
  std::vector<uint32_t> nodes_;  // fits: the limit is at most kMaxInputBytes
};

TRPlistPtr parsePlist(const uint8_t* data, size_t size) {
  if (size == 0 || size > kMaxInputBytes) return {};
  const bool binary = size >= 8 && std::memcmp(data, "bplist00", 8) == 0;
  const char* bytes = reinterpret_cast<const char*>(data);
  if (binary ? !BinaryPlistScan(data, size).withinLimits()
             : !orsa::platform::plist::xmlWithinLimits(std::string_view(bytes, size),
                                                       static_cast<size_t>(kMaxNesting))) {
    orsa::platform::consoleWrite(fmt::format(
        "[{}] property list of {} bytes refused: too deep, too shared or NUL in its text", kModule,
        size));
    return {};
  }
  plist_t root = nullptr;
  if (binary) {
    plist_from_bin(bytes, static_cast<uint32_t>(size), &root);
  } else {
    plist_from_xml(bytes, static_cast<uint32_t>(size), &root);
  }
  return TRPlistPtr(root);
}

TRPlistPtr parsePlist(const TRResumeData::Bytes& bytes) {
  return parsePlist(bytes.data(), bytes.size());
}

std::optional<TRResumeData::Bytes> serialize(plist_t node, bool xml) {
  TRResumeData::Bytes bytes = orsa::platform::plist::serialize(node, xml);
  if (bytes.empty()) return std::nullopt;
  return bytes;
}

// An integer node's value, or a real's within the range; 0 for anything else.
int64_t integerOf(plist_t node) {
  if (auto value = orsa::platform::plist::integerOf(node)) return *value;
  if (isType(node, PLIST_REAL)) {
    double value = 0;
    plist_get_real_val(node, &value);
    if (!(value > -9.2e18 && value < 9.2e18)) return 0;
    return static_cast<int64_t>(value);
  }
  return 0;
}

// An HTTP date, "Sun, 06 Nov 1994 08:49:37 GMT": what the service stores from Last-Modified.
std::optional<std::chrono::system_clock::time_point> httpDate(const std::string& text) {
  char weekday[4] = {}, monthName[4] = {};
  int day = 0, year = 0, hour = 0, minute = 0, second = 0;
  if (std::sscanf(text.c_str(), "%3[A-Za-z], %2d %3[A-Za-z] %4d %2d:%2d:%2d GMT", weekday, &day,
                  monthName, &year, &hour, &minute, &second) != 7) {
    return std::nullopt;
  }
  static constexpr std::string_view kMonths = "JanFebMarAprMayJunJulAugSepOctNovDec";
  const size_t at = kMonths.find(monthName);
  if (std::strlen(monthName) != 3 || at == std::string_view::npos || at % 3 != 0) {
    return std::nullopt;
  }
  const std::chrono::year_month_day date{std::chrono::year(year),
                                         std::chrono::month(static_cast<unsigned>(at / 3 + 1)),
                                         std::chrono::day(static_cast<unsigned>(day))};
  if (!date.ok() || std::min({hour, minute, second}) < 0 || hour > 23 || minute > 59 ||
      second > 60) {
    return std::nullopt;
  }
  const std::chrono::sys_seconds when = std::chrono::sys_days(date) + std::chrono::hours(hour) +
                                        std::chrono::minutes(minute) + std::chrono::seconds(second);
  // The clock counts finer than seconds and spans only a few centuries around 1970.
  constexpr auto kSpan = std::chrono::floor<std::chrono::seconds>(
      std::chrono::system_clock::time_point::max().time_since_epoch());
  if (when.time_since_epoch() >= kSpan || when.time_since_epoch() <= -kSpan) return std::nullopt;
  return std::chrono::system_clock::time_point(when);
}

bool isKeyedArchive(plist_t archive) {
  if (!isType(archive, PLIST_DICT)) return false;
  plist_t archiver = plist_dict_get_item(archive, "$archiver");
  return isType(archiver, PLIST_STRING) && stringOf(archiver) == "NSKeyedArchiver" &&
         isType(plist_dict_get_item(archive, "$objects"), PLIST_ARRAY) &&
         isType(plist_dict_get_item(archive, "$top"), PLIST_DICT);
}

// Turns a keyed archive's object graph into a tree of plain nodes. Archives may share objects
// and even refer back to themselves; a tree can hold neither forever, so every copied byte is
// charged against a budget proportional to the input and a reference back into an object being
// decoded fails the decode.
class ArchiveDecoder {
 public:
  ArchiveDecoder(plist_t objects, size_t inputSize)
      : objects_(objects),
        count_(plist_array_get_size(objects)),
        budget_(4 * static_cast<uint64_t>(inputSize) + 4096),
        onStack_(count_, 0) {}

  // False when the reference cannot be decoded; true with a null result for the archive's
  // null object.
  bool decodeRef(plist_t uid, int depth, TRPlistPtr& out) {
    if (!isType(uid, PLIST_UID) || depth > kMaxDepth) return false;
    uint64_t index = 0;
    plist_get_uid_val(uid, &index);
    if (index >= count_ || onStack_[index]) return false;
    plist_t object = plist_array_get_item(objects_, static_cast<uint32_t>(index));
    if (isType(object, PLIST_STRING) && stringOf(object) == "$null") {
      out.reset();
      return charge(1);
    }
    if (!isType(object, PLIST_DICT)) return copyLeaf(object, out);
    onStack_[index] = 1;
    const bool ok = decodeObject(object, depth, out);
    onStack_[index] = 0;
    return ok;
  }

 private:
  bool charge(uint64_t cost) {
    if (cost > budget_) return false;
    budget_ -= cost;
    return true;
  }

  bool copyLeaf(plist_t node, TRPlistPtr& out) {
    switch (node ? plist_get_node_type(node) : PLIST_NONE) {
      case PLIST_STRING: {
        const std::string text = stringOf(node);
        if (!charge(text.size() + 1)) return false;
        out.reset(plist_new_string(text.c_str()));
        return true;
      }
      case PLIST_DATA: {
        const TRResumeData::Bytes bytes = dataOf(node);
        if (!charge(bytes.size() + 1)) return false;
        out.reset(plist_new_data(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        return true;
      }
      case PLIST_BOOLEAN:
      case PLIST_UINT:
      case PLIST_REAL:
      case PLIST_DATE:
        if (!charge(8)) return false;
        out.reset(plist_copy(node));
        return true;
      default:
        return false;
    }
  }

  // Every element must decode to an object; the archive's null has no place in a container.
  bool decodeElement(plist_t uid, int depth, TRPlistPtr& out) {
    return decodeRef(uid, depth, out) && out;
  }

  bool decodeObject(plist_t object, int depth, TRPlistPtr& out) {
    plist_t classRef = plist_dict_get_item(object, "$class");
    uint64_t classIndex = 0;
    if (!isType(classRef, PLIST_UID)) return false;
    plist_get_uid_val(classRef, &classIndex);
    if (classIndex >= count_) return false;
    plist_t classInfo = plist_array_get_item(objects_, static_cast<uint32_t>(classIndex));
    if (!isType(classInfo, PLIST_DICT)) return false;
    plist_t classNameNode = plist_dict_get_item(classInfo, "$classname");
    if (!isType(classNameNode, PLIST_STRING)) return false;
    const std::string className = stringOf(classNameNode);
    if (!charge(1)) return false;

    if (className == "NSDictionary" || className == "NSMutableDictionary") {
      plist_t keys = plist_dict_get_item(object, "NS.keys");
      plist_t values = plist_dict_get_item(object, "NS.objects");
      if (!isType(keys, PLIST_ARRAY) || !isType(values, PLIST_ARRAY)) return false;
      const uint32_t n = plist_array_get_size(keys);
      if (plist_array_get_size(values) != n) return false;
      out.reset(plist_new_dict());
      for (uint32_t i = 0; i < n; ++i) {
        TRPlistPtr key, value;
        if (!decodeElement(plist_array_get_item(keys, i), depth + 1, key) ||
            !isType(key.get(), PLIST_STRING) ||
            !decodeElement(plist_array_get_item(values, i), depth + 1, value)) {
          return false;
        }
        plist_dict_set_item(out.get(), stringOf(key.get()).c_str(), value.release());
      }
      return true;
    }
    if (className == "NSArray" || className == "NSMutableArray" || className == "NSSet" ||
        className == "NSMutableSet" || className == "NSOrderedSet" ||
        className == "NSMutableOrderedSet") {
      plist_t items = plist_dict_get_item(object, "NS.objects");
      if (!isType(items, PLIST_ARRAY)) return false;
      out.reset(plist_new_array());
      for (uint32_t i = 0, n = plist_array_get_size(items); i < n; ++i) {
        TRPlistPtr item;
        if (!decodeElement(plist_array_get_item(items, i), depth + 1, item)) return false;
        plist_array_append_item(out.get(), item.release());
      }
      return true;
    }
    if (className == "NSString" || className == "NSMutableString") {
      plist_t text = plist_dict_get_item(object, "NS.string");
      return isType(text, PLIST_STRING) && copyLeaf(text, out);
    }
    if (className == "NSData" || className == "NSMutableData") {
      plist_t bytes = plist_dict_get_item(object, "NS.data");
      return isType(bytes, PLIST_DATA) && copyLeaf(bytes, out);
    }
    if (className == "NSDate") {
      plist_t time = plist_dict_get_item(object, "NS.time");
      if (!isType(time, PLIST_REAL)) return false;
      double seconds = 0;
      plist_get_real_val(time, &seconds);
      if (!(seconds > -2e9 && seconds < 2e9)) return false;
      const double whole = static_cast<double>(static_cast<int32_t>(seconds));
      out.reset(plist_new_date(static_cast<int32_t>(whole),
                               static_cast<int32_t>((seconds - whole) * 1e6)));
      return true;
    }
    // Any other class (a request among them) keeps its fields under their own keys.
    out.reset(plist_new_dict());
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(object, &iter);
    bool ok = iter != nullptr;
    while (ok) {
      char* key = nullptr;
      plist_t value = nullptr;
      plist_dict_next_item(object, iter, &key, &value);
      if (!key) break;
      if (std::strcmp(key, "$class") != 0) {
        TRPlistPtr field;
        ok = isType(value, PLIST_UID) ? decodeRef(value, depth + 1, field) : copyLeaf(value, field);
        if (ok && field) plist_dict_set_item(out.get(), key, field.release());
      }
      std::free(key);
    }
    std::free(iter);
    return ok;
  }

  plist_t objects_;
  uint32_t count_;
  uint64_t budget_;
  std::vector<uint8_t> onStack_;
};

TRPlistPtr decodeRoot(plist_t archive, const char* rootKey, size_t inputSize) {
  if (!isKeyedArchive(archive)) return {};
  plist_t top = plist_dict_get_item(archive, "$top");
  ArchiveDecoder decoder(plist_dict_get_item(archive, "$objects"), inputSize);
  TRPlistPtr root;
  if (!decoder.decodeRef(plist_dict_get_item(top, rootKey), 0, root)) return {};
  return root;
}

// Moves a value to another key of the same dict.
void moveEntry(plist_t dict, const char* from, const std::string& to) {
  plist_dict_set_item(dict, to.c_str(), plist_copy(plist_dict_get_item(dict, from)));
  plist_dict_remove_item(dict, from);
}

std::string slotKey(long index) {
  return "$" + std::to_string(index);
}

}  // namespace

double TRResumeData::versionValue(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  double value = 0;
  const auto result =
      std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
  return result.ec == std::errc() ? value : 0;
}

void TRResumeData::setSystemVersion(std::string_view text) {
  versionSetting().store(versionValue(text));
}

double TRResumeData::systemVersion() {
  return versionSetting().load();
}

TRResumeData::TRResumeData(const Bytes& resumeData) {
  TRPlistPtr map = parsePlist(resumeData);
  if (!isType(map.get(), PLIST_DICT)) return;
  plist_t m = map.get();
  downloadUrl_ = stringOf(plist_dict_get_item(m, orsa::platform::kResumeDownloadUrlKey));
  tempName_ = stringOf(plist_dict_get_item(m, orsa::platform::kResumeTempFileNameKey));
  downloadSize_ = integerOf(plist_dict_get_item(m, orsa::platform::kResumeBytesReceivedKey));
  resumeTag_ = stringOf(plist_dict_get_item(m, orsa::platform::kResumeEntityTagKey));
  resumeRange_ = stringOf(plist_dict_get_item(m, orsa::platform::kResumeByteRangeKey));
  resumeInfoVersion_ = integerOf(plist_dict_get_item(m, orsa::platform::kResumeInfoVersionKey));
  for (auto [key, field] : {std::pair{kResumeCurrentRequestKey, &currentRequest_},
                            std::pair{kResumeOriginalRequestKey, &originalRequest_}}) {
    plist_t archived = plist_dict_get_item(m, key);
    if (isType(archived, PLIST_DATA)) *field = decodeKeyedArchive(dataOf(archived), kRootObjectKey);
  }
  plist_t date = plist_dict_get_item(m, orsa::platform::kResumeServerDateKey);
  if (isType(date, PLIST_STRING)) {
    downloadDate_ = httpDate(stringOf(date));
  } else if (isType(date, PLIST_DATE)) {
    int32_t seconds = 0, micros = 0;
    plist_get_date_val(date, &seconds, &micros);
    downloadDate_ = std::chrono::system_clock::time_point(
        std::chrono::seconds(kPlistEpochOffset + seconds) + std::chrono::microseconds(micros));
  }
}

std::optional<TRResumeData::Bytes> TRResumeData::cleanResumeData(const Bytes& resumeData) {
  const std::string_view text(reinterpret_cast<const char*>(resumeData.data()), resumeData.size());
  if (!orsa::platform::isValidUtf8(text)) return std::nullopt;
  const size_t start = text.find(kByteRangeEntry);
  if (start == std::string_view::npos) return resumeData;
  const size_t end = text.find(kStringEntryEnd, start + kByteRangeEntry.size());
  if (end == std::string_view::npos) return resumeData;
  Bytes cleaned(resumeData.begin(), resumeData.begin() + static_cast<std::ptrdiff_t>(start));
  cleaned.insert(cleaned.end(),
                 resumeData.begin() + static_cast<std::ptrdiff_t>(end + kStringEntryEnd.size()),
                 resumeData.end());
  return cleaned;
}

TRPlistPtr TRResumeData::getResumeDictionary(const Bytes& resumeData) {
  TRPlistPtr parsed = parsePlist(resumeData);
  if (!parsed) return {};
  if (systemVersion() >= 10.0) {
    TRPlistPtr decoded = decodeRoot(parsed.get(), kLiteralRootKey, resumeData.size());
    if (!decoded) decoded = decodeRoot(parsed.get(), kRootObjectKey, resumeData.size());
    if (isType(decoded.get(), PLIST_DICT)) return decoded;
  }
  return isType(parsed.get(), PLIST_DICT) ? std::move(parsed) : TRPlistPtr();
}

TRPlistPtr TRResumeData::decodeKeyedArchive(const Bytes& archive, const char* rootKey) {
  TRPlistPtr parsed = parsePlist(archive);
  return decodeRoot(parsed.get(), rootKey, archive.size());
}

std::optional<TRResumeData::Bytes> TRResumeData::correctRequestData(const Bytes& requestData) {
  TRPlistPtr archive = parsePlist(requestData);
  if (!isType(archive.get(), PLIST_DICT)) return std::nullopt;
  if (decodeRoot(archive.get(), kRootObjectKey, requestData.size())) return requestData;

  plist_t objects = plist_dict_get_item(archive.get(), "$objects");
  if (!isType(objects, PLIST_ARRAY) || plist_array_get_size(objects) < 2) return std::nullopt;
  plist_t properties = plist_array_get_item(objects, 1);
  if (!isType(properties, PLIST_DICT)) return std::nullopt;
  plist_t top = plist_dict_get_item(archive.get(), "$top");
  if (top && !isType(top, PLIST_DICT)) return std::nullopt;

  // Each pass needs a key that is present, so the dict's size bounds every loop.
  long slots = 0;
  while (plist_dict_get_item(properties, slotKey(slots).c_str())) ++slots;
  long moved = 0;
  for (;; ++moved) {
    const std::string key = "__nsurlrequest_proto_prop_obj_" + std::to_string(moved);
    if (!plist_dict_get_item(properties, key.c_str())) break;
    moveEntry(properties, key.c_str(), slotKey(slots + moved));
  }
  if (plist_dict_get_item(properties, "__nsurlrequest_proto_props")) {
    moveEntry(properties, "__nsurlrequest_proto_props", slotKey(slots + moved));
  }
  if (top && plist_dict_get_item(top, kLiteralRootKey))
    moveEntry(top, kLiteralRootKey, kRootObjectKey);
  return serialize(archive.get(), false);
}

std::optional<TRResumeData::Bytes> TRResumeData::correctResumeData(const Bytes& resumeData) {
  if (systemVersion() >= 11.2) return resumeData;
  TRPlistPtr map = getResumeDictionary(resumeData);
  if (!map) return std::nullopt;
  for (const char* key : {kResumeCurrentRequestKey, kResumeOriginalRequestKey}) {
    plist_t archived = plist_dict_get_item(map.get(), key);
    if (!archived) continue;
    std::optional<Bytes> repaired;
    if (isType(archived, PLIST_DATA)) repaired = correctRequestData(dataOf(archived));
    if (repaired) {
      orsa::platform::plist::setData(map.get(), key, *repaired);
    } else {
      plist_dict_remove_item(map.get(), key);
    }
  }
  return serialize(map.get(), true);
}
