// Resume data arrives from disk and from the transfer service; whatever the bytes, the repairs
// must end, stay in bounds and answer with a property list of the promised kind or none.
#include <cstdlib>
#include <string_view>

#include "download/TRResumeData.h"

#include "FuzzQuiet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using Bytes = TRResumeData::Bytes;
  auto startsWith = [](const Bytes& b, std::string_view prefix) {
    return std::string_view(reinterpret_cast<const char*>(b.data()), b.size()).starts_with(prefix);
  };
  const Bytes bytes(data, data + size);
  for (const char* version : {"9.3", "10.3", "11.1", "11.2"}) {
    TRResumeData::setSystemVersion(version);
    const auto fixed = TRResumeData::correctResumeData(bytes);
    if (TRResumeData::systemVersion() >= 11.2 ? fixed != bytes
                                              : fixed && !startsWith(*fixed, "<?xml"))
      std::abort();
    if (fixed) TRResumeData view(*fixed);
    TRResumeData::getResumeDictionary(bytes);
  }
  const auto request = TRResumeData::correctRequestData(bytes);
  if (request && *request != bytes && !startsWith(*request, "bplist00")) std::abort();
  // Cleaning removes one stretch that starts at the byte-range key, or nothing.
  const auto cleaned = TRResumeData::cleanResumeData(bytes);
  if (cleaned && *cleaned != bytes) {
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    const std::string_view out(reinterpret_cast<const char*>(cleaned->data()), cleaned->size());
    const size_t key = in.find("<key>NSURLSessionResumeByteRange</key>");
    if (key == std::string_view::npos || out.size() >= in.size() ||
        !out.starts_with(in.substr(0, key)) ||
        out.substr(key) != in.substr(key + size - out.size()))
      std::abort();
  }
  TRResumeData view(bytes);
  return 0;
}
