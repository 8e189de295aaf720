// Resume data and journal entries come back from disk and from callers; whatever the bytes, the
// reader ends, stays in bounds, accepts only plain file names and reads back what it writes.
#include <cstdlib>

#include "platform/UrlSessionResume.h"

#include "FuzzQuiet.h"

using orsa::platform::Bytes;
using orsa::platform::UrlSessionResume;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto resume = UrlSessionResume::fromResumeData(Bytes(data, data + size));
  if (!resume) return 0;
  const std::string& name = resume->tempFileName;
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
      resume->bytesReceived < 0 || resume->originalRequest.url.empty())
    std::abort();
  const auto again = UrlSessionResume::fromResumeData(resume->toResumeData());
  if (!again || again->tempFileName != name || again->bytesReceived != resume->bytesReceived ||
      again->originalRequest.url != resume->originalRequest.url ||
      again->originalRequest.headers != resume->originalRequest.headers ||
      again->entityTag != resume->entityTag || again->totalBytes != resume->totalBytes)
    std::abort();
  return 0;
}
