#include "download/TRResumeData.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/TestSupport.h"

namespace {

using R = TRResumeData;
using Bytes = R::Bytes;
using json = nlohmann::json;
constexpr const char* kLiteralRoot = "NSKeyedArchiveRootObjectKey";
const char* const kDefault = R::kDefaultSystemVersion.data();
constexpr const char* kCurrent = "NSURLSessionResumeCurrentRequest";
// Property lists written as JSON: "@n" is UID n, a binary value is data.
plist_t P(const json& j) {
  const std::string s = j.is_string() ? j.get<std::string>() : "";
  if (j.is_string()) return s[0] == '@' ? plist_new_uid(atoi(&s[1])) : plist_new_string(&s[0]);
  if (j.is_number()) return plist_new_uint(j.get<uint64_t>());
  if (j.is_binary()) return plist_new_data((char*)j.get_binary().data(), j.get_binary().size());
  plist_t node = j.is_array() ? plist_new_array() : plist_new_dict();
  for (const auto& [k, v] : j.items())
    j.is_array() ? plist_array_append_item(node, P(v)) : plist_dict_set_item(node, k.c_str(), P(v));
  return node;
}
Bytes serialize(const json& j, bool xml = false) {
  TRPlistPtr node(P(j));
  char* out = nullptr;
  uint32_t n = 0;
  xml ? plist_to_xml(node.get(), &out, &n) : plist_to_bin(node.get(), &out, &n);
  return Bytes(std::unique_ptr<char, decltype(&free)>(out, free).get(), out + n);
}
Bytes archive(json o, const char* r = kLiteralRoot) {
  return serialize({{"$archiver", "NSKeyedArchiver"}, {"$objects", o}, {"$top", {{r, "@1"}}}});
}
// A request archive as the service writes it: slots $0.. in object 1, then misplaced properties.
Bytes request(int slots, int misplaced, bool props, const char* root = kLiteralRoot) {
  json p = {{"$class", "@2"}};
  for (int i = 0; i < slots; ++i) p["$" + std::to_string(i)] = "s" + std::to_string(i);
  for (int i = 0; i < misplaced; ++i)
    p["__nsurlrequest_proto_prop_obj_" + std::to_string(i)] = "m" + std::to_string(i);
  if (props) p["__nsurlrequest_proto_props"] = "props";
  return archive({"$null", p, {{"$classname", "NSURLRequest"}}}, root);
}
Bytes resume(const Bytes& current, const Bytes& original) {
  json map = {{"NSURLSessionDownloadURL", "u"}, {"NSURLSessionResumeBytesReceived", 5000000000}};
  map["NSURLSessionResumeServerDownloadDate"] = "Sun, 06 Nov 1994 08:49:37 GMT";
  map[kCurrent] = json::binary(current);
  map["NSURLSessionResumeOriginalRequest"] = json::binary(original);
  return serialize(map, true);
}
std::string field(plist_t map, const std::string& key) {
  plist_t v = map ? plist_dict_get_item(map, key.c_str()) : nullptr;
  char* s = nullptr;
  if (v && plist_get_node_type(v) == PLIST_STRING) plist_get_string_val(v, &s);
  return std::unique_ptr<char, decltype(&free)>(s, free) ? s : "-";
}
// A request's slots $0, $1, ... in order, then how many entries it has in all.
std::string slots(plist_t request) {
  std::string found, slot;
  for (int i = 0; (slot = field(request, "$" + std::to_string(i))) != "-"; ++i) found += slot + " ";
  return found + std::to_string(request ? plist_dict_get_size(request) : 0);
}

TEST(TRResumeDataTest, RepairRulesByVersion) {
  const Bytes input = resume(request(5, 2, true), request(3, 0, true));
  for (const char* version : {"9.3", "10.3.1", "11.0", "11.1.9", "11.2", "12", kDefault}) {
    R::setSystemVersion(version);
    const bool repaired = R::versionValue(version) < 11.2;
    const R view(R::correctResumeData(input).value_or(Bytes{}));
    EXPECT_EQ(R::correctResumeData(input) == input, !repaired) << version;
    EXPECT_EQ(view.downloadUrl(), "u") << version;
    EXPECT_EQ(view.downloadSize(), 5000000000) << version;
    EXPECT_EQ(view.downloadDate()->time_since_epoch(), std::chrono::seconds(784111777));
    EXPECT_EQ(slots(view.currentRequest()), repaired ? "s0 s1 s2 s3 s4 m0 m1 props 8" : "0");
    EXPECT_EQ(slots(view.originalRequest()), repaired ? "s0 s1 s2 props 4" : "0") << version;
    const Bytes junk = R::correctResumeData(resume({'j'}, input)).value_or(Bytes{});  // no archive
    EXPECT_EQ(!plist_dict_get_item(R::getResumeDictionary(junk).get(), kCurrent), repaired);
  }
  EXPECT_FALSE(R::decodeKeyedArchive(*R::correctRequestData(request(0, 1, 0)), kLiteralRoot));
  EXPECT_EQ(R::correctRequestData(request(2, 2, 1, "root")), request(2, 2, 1, "root"));  // reads
  // The resume map itself archived as a dictionary, as later services write it.
  const Bytes archived = archive(json::parse(R"(["$null", {"$class": "@2", "NS.keys": ["@3"],
      "NS.objects": ["@4"]}, {"$classname": "NSDictionary"}, "NSURLSessionDownloadURL", "u"])"));
  for (auto [version, url] : {std::pair{"9.3", "-"}, {"10.0", "u"}, {kDefault, "u"}}) {
    R::setSystemVersion(version);
    EXPECT_EQ(field(R::getResumeDictionary(archived).get(), "NSURLSessionDownloadURL"), url);
    EXPECT_EQ(field(R::getResumeDictionary(archived).get(), "$archiver") == "-", *url == 'u');
  }
  const Bytes plain = serialize({{"A", "a"}, {"Z", "z"}}, true);
  const Bytes last = serialize({{"A", "a"}, {"NSURLSessionResumeByteRange", "5-"}}, true);
  const json ranged = {{"A", "a"}, {"NSURLSessionResumeByteRange", "5-"}, {"Z", "z"}};
  EXPECT_EQ(R::cleanResumeData(serialize(ranged, true)), plain);
  for (const Bytes& same : {plain, last}) EXPECT_EQ(R::cleanResumeData(same), same);  // no cut
}

TEST(TRResumeDataTest, HostileInputGivesNoRepair) {
  const auto shared = [](char n) {  // binary: array i < n holds array i + 1 twice
    std::string b = "bplist00", trailer(32, 0);
    for (char i = 0; i <= n; ++i) b += {char(i < n ? 0xA2 : 0xA0), char(i + 1), char(i + 1)};
    for (char i = 0; i <= n; ++i) b += char(8 + 3 * i);  // offsets
    trailer[6] = trailer[7] = 1, trailer[15] = n + 1, trailer[31] = char(8 + 3 * (n + 1));
    return b + trailer;
  };
  std::string deep, nul = "<plist><dict><key>$archiver</key><string>#</string></dict></plist>";
  while (deep.size() < 600000) deep += "<dict>";
  nul[nul.find('#')] = '\0';
  // Refused before parsing: 2^60 nodes, nesting past the stack, a NUL that aborts libplist.
  for (const auto& [text, refused] :
       {std::pair{shared(3), false}, {shared(60), true}, {deep, true}, {nul, true}}) {
    const Bytes in(text.begin(), text.end());
    const std::string console = orsa::test::consoleOf(
        [&] { EXPECT_FALSE(R::getResumeDictionary(in) || R::correctRequestData(in)); });
    EXPECT_EQ(console.find("refused") != std::string::npos, refused) << text.size();
  }
  json laughs = json::array({"$null"});  // arrays sharing arrays: 2^39 kilobytes once decoded
  for (std::string next = "@2"; laughs.size() < 40; next = "@" + std::to_string(laughs.size() + 1))
    laughs.push_back({{"$class", "@41"}, {"NS.objects", json::array({next, next})}});
  laughs.push_back(std::string(1000, 'x')), laughs.push_back({{"$classname", "NSArray"}});
  // An array whose element dangles, is itself, null, a raw array or a class record.
  for (const char* element : {"@7", "@1", "@0", "@2", "@3", ""}) {
    const json list = {{"$class", "@3"}, {"NS.objects", json::array({element})}};
    const json objects = {"$null", list, json::array(), {{"$classname", "NSArray"}}};
    const Bytes a = archive(*element ? objects : laughs);
    EXPECT_FALSE(R::decodeKeyedArchive(a, kLiteralRoot)) << element;
    EXPECT_EQ(field(R::getResumeDictionary(a).get(), "$archiver"), "NSKeyedArchiver");  // plain
  }
}

}  // namespace
