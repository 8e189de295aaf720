#include "platform/UrlSessionResume.h"

#include <string_view>

namespace orsa::platform {
namespace {

using plist::integerOf;
using plist::isType;
using plist::serialize;
using plist::setData;
using plist::setInteger;
using plist::setString;
using plist::stringOf;

// Our own additions. The archived requests are for the repair rules and readers of the standard
// keys; we read the plain copy, so no binary list from outside is ever parsed here.
constexpr const char* kTotalKey = "OrsaResumeTotalBytes";
constexpr const char* kRequestKey = "OrsaResumeRequest";
constexpr const char* kTaskKey = "OrsaTaskIdentifier";

// Resume data is a few kilobytes; a journal holds a handful of them.
constexpr size_t kMaxXmlBytes = size_t{4} << 20;
constexpr size_t kMaxContainers = 1024;

std::string stringAt(plist_t dict, const char* key) {
  return stringOf(plist_dict_get_item(dict, key));
}

std::optional<int64_t> integerAt(plist_t dict, const char* key) {
  return integerOf(plist_dict_get_item(dict, key));
}

plist_t requestNode(const UrlRequest& request) {
  plist_t node = plist_new_dict();
  setString(node, "URL", request.url);
  setString(node, "HTTPMethod", request.method);
  plist_t headers = plist_new_array();
  for (const auto& [name, value] : request.headers) {
    plist_t pair = plist_new_array();
    plist_array_append_item(pair, plist_new_string(name.c_str()));
    plist_array_append_item(pair, plist_new_string(value.c_str()));
    plist_array_append_item(headers, pair);
  }
  plist_dict_set_item(node, "HTTPHeaderFields", headers);
  setInteger(node, "timeoutInterval", request.timeout.count());
  return node;
}

std::optional<UrlRequest> requestFrom(plist_t node) {
  if (!isType(node, PLIST_DICT)) return std::nullopt;
  UrlRequest request;
  request.url = stringAt(node, "URL");
  request.method = stringAt(node, "HTTPMethod");
  if (request.url.empty() || request.method.empty()) return std::nullopt;
  if (auto timeout = integerAt(node, "timeoutInterval"); timeout && *timeout > 0) {
    request.timeout = std::chrono::milliseconds(*timeout);
  }
  plist_t headers = plist_dict_get_item(node, "HTTPHeaderFields");
  if (isType(headers, PLIST_ARRAY)) {
    for (uint32_t i = 0, count = plist_array_get_size(headers); i < count; ++i) {
      plist_t pair = plist_array_get_item(headers, i);
      if (!isType(pair, PLIST_ARRAY) || plist_array_get_size(pair) != 2) continue;
      plist_t name = plist_array_get_item(pair, 0), value = plist_array_get_item(pair, 1);
      if (!isType(name, PLIST_STRING) || !isType(value, PLIST_STRING)) continue;
      request.headers.emplace_back(stringOf(name), stringOf(value));
    }
  }
  return request;
}

bool plainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

}  // namespace

Bytes UrlSessionResume::archiveRequest(const UrlRequest& request) {
  // Object 1 is the request; its fields refer to the objects after it by number.
  plist_t objects = plist_new_array();
  plist_array_append_item(objects, plist_new_string("$null"));
  plist_t fields = plist_new_dict();
  plist_array_append_item(objects, fields);
  auto add = [&](plist_t object) {
    plist_array_append_item(objects, object);
    return plist_new_uid(plist_array_get_size(objects) - 1);
  };
  plist_dict_set_item(fields, "URL", add(plist_new_string(request.url.c_str())));
  plist_dict_set_item(fields, "HTTPMethod", add(plist_new_string(request.method.c_str())));
  plist_dict_set_item(fields, "timeoutInterval",
                      plist_new_real(std::chrono::duration<double>(request.timeout).count()));
  if (!request.body.empty()) {
    plist_dict_set_item(fields, "HTTPBody",
                        add(plist_new_data(reinterpret_cast<const char*>(request.body.data()),
                                           request.body.size())));
  }
  plist_t headers = plist_new_dict();
  plist_t keys = plist_new_array(), values = plist_new_array();
  for (const auto& [name, value] : request.headers) {
    plist_array_append_item(keys, add(plist_new_string(name.c_str())));
    plist_array_append_item(values, add(plist_new_string(value.c_str())));
  }
  plist_dict_set_item(headers, "NS.keys", keys);
  plist_dict_set_item(headers, "NS.objects", values);
  plist_dict_set_item(fields, "HTTPHeaderFields", add(headers));
  auto classInfo = [](std::initializer_list<const char*> chain) {
    plist_t info = plist_new_dict();
    plist_t classes = plist_new_array();
    for (const char* name : chain) plist_array_append_item(classes, plist_new_string(name));
    plist_dict_set_item(info, "$classname", plist_new_string(*chain.begin()));
    plist_dict_set_item(info, "$classes", classes);
    return info;
  };
  plist_dict_set_item(headers, "$class",
                      add(classInfo({"NSMutableDictionary", "NSDictionary", "NSObject"})));
  plist_dict_set_item(fields, "$class", add(classInfo({"NSURLRequest", "NSObject"})));

  PlistPtr archive(plist_new_dict());
  setString(archive.get(), "$archiver", "NSKeyedArchiver");
  setInteger(archive.get(), "$version", 100000);
  plist_t top = plist_new_dict();
  // Readers look under the archiver's root key or under the constant's name (which some
  // writers used instead); both point at the request.
  plist_dict_set_item(top, "root", plist_new_uid(1));
  plist_dict_set_item(top, "NSKeyedArchiveRootObjectKey", plist_new_uid(1));
  plist_dict_set_item(archive.get(), "$top", top);
  plist_dict_set_item(archive.get(), "$objects", objects);
  return serialize(archive.get(), false);
}

plist_t UrlSessionResume::toNode() const {
  plist_t map = plist_new_dict();
  setString(map, kResumeDownloadUrlKey, originalRequest.url);
  setString(map, kResumeTempFileNameKey, tempFileName);
  setInteger(map, kResumeBytesReceivedKey, bytesReceived);
  if (!entityTag.empty()) setString(map, kResumeEntityTagKey, entityTag);
  if (!lastModified.empty()) setString(map, kResumeServerDateKey, lastModified);
  setInteger(map, kResumeInfoVersionKey, 2);
  setData(map, kResumeOriginalRequestKey, archiveRequest(originalRequest));
  setData(map, kResumeCurrentRequestKey, archiveRequest(currentRequest));
  if (totalBytes >= 0) setInteger(map, kTotalKey, totalBytes);
  plist_dict_set_item(map, kRequestKey, requestNode(originalRequest));
  if (taskIdentifier != 0) setInteger(map, kTaskKey, static_cast<int64_t>(taskIdentifier));
  return map;
}

std::optional<UrlSessionResume> UrlSessionResume::fromNode(plist_t map) {
  if (!isType(map, PLIST_DICT)) return std::nullopt;
  UrlSessionResume resume;
  resume.tempFileName = stringAt(map, kResumeTempFileNameKey);
  if (!plainFileName(resume.tempFileName)) return std::nullopt;
  const std::string url = stringAt(map, kResumeDownloadUrlKey);
  if (url.empty()) return std::nullopt;
  // The plain request copy is ours; resume data from elsewhere has only the URL to go by.
  if (auto request = requestFrom(plist_dict_get_item(map, kRequestKey)); request) {
    resume.originalRequest = std::move(*request);
  }
  resume.originalRequest.url = url;
  resume.currentRequest = resume.originalRequest;
  resume.bytesReceived = integerAt(map, kResumeBytesReceivedKey).value_or(0);
  if (resume.bytesReceived < 0) return std::nullopt;
  resume.totalBytes = integerAt(map, kTotalKey).value_or(kTransferSizeUnknown);
  if (resume.totalBytes < kTransferSizeUnknown) resume.totalBytes = kTransferSizeUnknown;
  resume.entityTag = stringAt(map, kResumeEntityTagKey);
  resume.lastModified = stringAt(map, kResumeServerDateKey);
  resume.taskIdentifier = static_cast<uint64_t>(integerAt(map, kTaskKey).value_or(0));
  return resume;
}

plist_t UrlSessionResume::parseXml(const char* data, size_t size) {
  if (size == 0 || size > kMaxXmlBytes) return nullptr;
  const std::string_view text(data, size);
  if (text.starts_with("bplist") || !plist::xmlWithinLimits(text, kMaxContainers)) return nullptr;
  plist_t root = nullptr;
  plist_from_xml(data, static_cast<uint32_t>(size), &root);
  return root;
}

Bytes UrlSessionResume::toXml(plist_t node) {
  return serialize(node, true);
}

Bytes UrlSessionResume::toResumeData() const {
  PlistPtr map(toNode());
  plist_dict_remove_item(map.get(), kTaskKey);
  return toXml(map.get());
}

std::optional<UrlSessionResume> UrlSessionResume::fromResumeData(const Bytes& bytes) {
  PlistPtr map(parseXml(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  auto resume = fromNode(map.get());
  if (resume) resume->taskIdentifier = 0;
  return resume;
}

}  // namespace orsa::platform
