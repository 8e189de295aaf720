#pragma once

// FFmpeg's own text for one of its error codes, for the media reader's and writer's messages.

extern "C" {
#include <libavutil/error.h>
}

#include <string>

namespace orsa::platform {

inline std::string avErrorText(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(err, buf, sizeof buf);
  return buf;
}

}  // namespace orsa::platform
