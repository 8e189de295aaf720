// orsa config: makes and reads start configurations.
#include <cstdio>
#include <string>
#include <vector>

#include "Command.h"
#include "OrsaMireloConfigDecoder.h"
#include "OrsaMireloConfigEncoder.h"

namespace orsa::tool {
namespace {

constexpr char kUsage[] =
    "config encode --id ID --stream ROOM,STREAM[,ENCODE_CODE,PACKAGE_URL,PLATFORM] [--stream ...]"
    " | config decode STRING";

constexpr Usage usage{"config", kUsage};

// Whole strings: a field may hold a NUL character.
void printLine(FILE* out, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), out);
  std::fputc('\n', out);
  std::fflush(out);
}

std::optional<std::string> optionalField(const std::string& v) {
  if (v.empty()) return std::nullopt;
  return v;
}

// ROOM,STREAM[,ENCODE_CODE[,PACKAGE_URL[,PLATFORM]]]. Room and stream are kept even when
// empty (an empty room id is a valid one); the other fields are left out when empty. A URL may
// itself hold commas: with five or more fields, everything between the third comma and the
// last one is the URL.
bool parseStream(const std::string& streamArg, OrsaMireloStream& out) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (int i = 0; i < 3; ++i) {
    size_t comma = streamArg.find(',', start);
    if (comma == std::string::npos) break;
    parts.push_back(streamArg.substr(start, comma - start));
    start = comma + 1;
  }
  std::string rest = streamArg.substr(start);
  if (parts.size() == 3) {
    size_t last = rest.rfind(',');
    if (last == std::string::npos) {
      parts.push_back(rest);
    } else {
      parts.push_back(rest.substr(0, last));
      parts.push_back(rest.substr(last + 1));
    }
  } else {
    parts.push_back(rest);
  }
  if (parts.size() < 2) return false;
  out.setRoomId(parts[0]);
  out.setStreamId(parts[1]);
  if (parts.size() > 2) out.setEncodeCode(optionalField(parts[2]));
  if (parts.size() > 3) out.setPackageUrl(optionalField(parts[3]));
  if (parts.size() > 4) out.setConfigId(optionalField(parts[4]));
  return true;
}

int encode(const std::vector<std::string>& args) {
  OrsaMireloConfig config;
  OrsaMireloConfig::Streams streams;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if ((a == "--id" || a == "--stream") && i + 1 >= args.size()) {
      return usage(a + " needs a value");
    }
    if (a == "--id") {
      config.setDigitalHumanId(args[++i]);
    } else if (a == "--stream") {
      OrsaMireloStream s;
      if (!parseStream(args[++i], s)) {
        return usage("bad stream '" + args[i] + "' (want ROOM,STREAM[,...])");
      }
      streams.push_back(std::move(s));
    } else {
      return usage("unknown argument '" + a + "'");
    }
  }
  if (!config.digitalHumanId() || streams.empty()) {
    return usage("encode needs --id and at least one --stream");
  }
  config.setStreams(std::move(streams));
  printLine(stdout, OrsaMireloConfigEncoder::encode(config));
  return 0;
}

int decode(const std::vector<std::string>& args) {
  if (args.size() != 1) return usage();
  std::string error;
  auto config = OrsaMireloConfigDecoder::decode(args[0], &error);
  if (!config) {
    printLine(stderr, error);
    return 1;
  }
  printLine(stdout, config->string());
  return 0;
}

int runConfig(const std::vector<std::string>& args) {
  if (args.empty()) return usage();
  std::vector<std::string> rest(args.begin() + 1, args.end());
  if (args[0] == "encode") return encode(rest);
  if (args[0] == "decode") return decode(rest);
  return usage();
}

}  // namespace
}  // namespace orsa::tool

ORSA_TOOL_COMMAND("config", orsa::tool::kUsage, orsa::tool::runConfig);
