#include "logging/OrsaLogger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <spdlog/details/null_mutex.h>
#include <spdlog/details/os.h>
#include <spdlog/fmt/fmt.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/Console.h"

namespace {

constexpr std::string_view kLevelNames[] = {"trace", "debug",    "info", "warning",
                                            "error", "critical", "off"};

std::string_view levelName(spdlog::level::level_enum l) {
  auto i = static_cast<size_t>(l);
  return i < std::size(kLevelNames) ? kLevelNames[i] : std::string_view("off");
}

inline void append(spdlog::memory_buf_t& dest, std::string_view s) {
  dest.append(s.data(), s.data() + s.size());
}

template <typename T>
inline void appendInt(spdlog::memory_buf_t& dest, T v) {
  fmt::format_int f(v);
  dest.append(f.data(), f.data() + f.size());
}

bool isOrsaRecord(const spdlog::details::log_msg& msg) {
  return msg.logger_name.data() == kOrsaLoggerName.data();
}

}  // namespace

OrsaLogMsg::OrsaLogMsg(uint32_t tag, spdlog::level::level_enum level, const char* file,
                       int32_t line, std::string_view message)
    : spdlog::details::log_msg(
          spdlog::source_loc{file && *file ? file : nullptr, line, nullptr},
          spdlog::string_view_t(kOrsaLoggerName.data(), kOrsaLoggerName.size()), level,
          spdlog::string_view_t(message.data(), message.size())),
      tag(tag) {}

void OrsaLogFormatter::format(const spdlog::details::log_msg& msg, spdlog::memory_buf_t& dest) {
  const auto ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(msg.time.time_since_epoch()).count();
  const std::time_t t = static_cast<std::time_t>(ns / 1000000000);
  const int millis = static_cast<int>(ns % 1000000000 / 1000000);
  if (t != cachedSecond_) {
    std::tm tm{};
    localtime_r(&t, &tm);
    int n = std::snprintf(datePrefix_, sizeof(datePrefix_), "[%04d-%02d-%02d %02d:%02d:%02d.",
                          tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                          tm.tm_sec);
    datePrefixLen_ = n > 0 ? static_cast<size_t>(n) : 0;
    cachedSecond_ = t;
  }
  // The fixed-size fields are assembled on the stack and appended at once: this runs for every
  // line, and each append into the buffer is a call of its own.
  char head[128];
  char* w = head;
  auto put = [&w](std::string_view s) {
    std::memcpy(w, s.data(), s.size());
    w += s.size();
  };
  put(std::string_view(datePrefix_, datePrefixLen_));
  *w++ = static_cast<char>('0' + millis / 100);
  *w++ = static_cast<char>('0' + millis / 10 % 10);
  *w++ = static_cast<char>('0' + millis % 10);
  put("] [");
  put(levelName(msg.level));
  put("] [");
  fmt::format_int tid(static_cast<uint64_t>(msg.thread_id));
  put(std::string_view(tid.data(), tid.size()));
  put("] [");
  fmt::format_int tag(isOrsaRecord(msg) ? static_cast<const OrsaLogMsg&>(msg).tag : 0u);
  put(std::string_view(tag.data(), tag.size()));
  put("] [");
  const std::string_view file =
      msg.source.line != 0 && msg.source.filename ? msg.source.filename : std::string_view();
  dest.reserve(dest.size() + static_cast<size_t>(w - head) + file.size() + 16 + msg.payload.size());
  dest.append(head, w);
  w = head;
  if (msg.source.line != 0) {
    append(dest, file);
    *w++ = ':';
    fmt::format_int line(msg.source.line);
    put(std::string_view(line.data(), line.size()));
  }
  put("] ");
  dest.append(head, w);
  dest.append(msg.payload.data(), msg.payload.data() + msg.payload.size());
  dest.push_back('\n');
}

std::unique_ptr<spdlog::formatter> OrsaLogFormatter::clone() const {
  return std::make_unique<OrsaLogFormatter>();
}

void OrsaLogFormatter::formatHeadInfo(const std::string& text, spdlog::memory_buf_t& dest) {
  OrsaLogMsg head(0, spdlog::level::info, nullptr, 0, text);
  format(head, dest);
}

OrsaScrambler::OrsaScrambler(std::string_view key) : empty_(key.empty()) {
  if (empty_) return;
  unsigned char bytes[sizeof(stream_)];
  for (size_t j = 0; j < sizeof(bytes); ++j)
    bytes[j] = static_cast<unsigned char>(key[j % key.size()]);
  std::memcpy(stream_, bytes, sizeof(bytes));
  // Only keys whose length divides the stream's period repeat exactly across blocks.
  period_ = sizeof(stream_) % key.size() == 0 ? sizeof(stream_) : 0;
  key_.assign(key);
}

namespace {
typedef unsigned char V16 __attribute__((vector_size(16)));
inline V16 scramble16(V16 b, V16 k) {
  const V16 zero = {};
  const V16 lf = zero + 0x0A;
  const V16 x = b ^ k;
  const V16 keep = (V16)((b == zero) | (b == lf) | (x == zero) | (x == lf));
  return (b & keep) | (x & ~keep);
}
}  // namespace

void OrsaScrambler::apply(char* data, size_t size) const {
  if (empty_) return;
  auto* p = reinterpret_cast<unsigned char*>(data);
  if (period_ == 0) {
    for (size_t i = 0, j = 0; i < size; ++i) {
      const unsigned char b = p[i];
      const unsigned char x = b ^ static_cast<unsigned char>(key_[j]);
      if (b != 0x00 && b != 0x0A && x != 0x00 && x != 0x0A) p[i] = x;
      if (++j == key_.size()) j = 0;
    }
    return;
  }
  // Every line of the file goes through here, so it works 16 bytes at a time; the stream
  // holds whole key repeats, so block n uses stream vector n % 3.
  size_t i = 0;
  size_t v = 0;
  for (; i + 16 <= size; i += 16) {
    V16 b;
    std::memcpy(&b, p + i, 16);
    b = scramble16(b, stream_[v]);
    std::memcpy(p + i, &b, 16);
    if (++v == 3) v = 0;
  }
  if (i < size) {
    V16 b = {};
    std::memcpy(&b, p + i, size - i);
    b = scramble16(b, stream_[v]);
    std::memcpy(p + i, &b, size - i);
  }
}

void orsaScrambleLine(char* data, size_t size, std::string_view key) {
  OrsaScrambler(key).apply(data, size);
}

// ---- console sink

namespace {
// The console takes whole lines; the formatter ends each with a newline.
void toConsole(const spdlog::memory_buf_t& buf, int level) {
  std::string_view line(buf.data(), buf.size());
  while (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  orsa::platform::consoleWrite(line, level);
}
}  // namespace

template <typename Mutex>
OrsaConsoleSink<Mutex>::OrsaConsoleSink() = default;

template <typename Mutex>
void OrsaConsoleSink<Mutex>::setEncryptKey(const std::string& key) {
  std::lock_guard<Mutex> lock(this->mutex_);
  key_ = key;  // kept like every sink's; the console stays readable
}

template <typename Mutex>
void OrsaConsoleSink<Mutex>::setHeadinfo(const std::string& text) {
  std::lock_guard<Mutex> lock(this->mutex_);
  spdlog::memory_buf_t buf;
  formatter_.formatHeadInfo(text, buf);
  toConsole(buf, orsa::platform::kConsoleInfo);
}

template <typename Mutex>
void OrsaConsoleSink<Mutex>::sink_it_(const spdlog::details::log_msg& msg) {
  spdlog::memory_buf_t buf;
  formatter_.format(msg, buf);
  toConsole(buf, static_cast<int>(msg.level));
}

template <typename Mutex>
void OrsaConsoleSink<Mutex>::flush_() {}

// ---- rotating, scrambled file sink

// Log files are the user's alone: each is made 0600 before spdlog opens it (so it is never
// readable by others, not even for a moment), and one left readable by an older version is
// narrowed once opened.
namespace {
spdlog::file_event_handlers privateFileEvents() {
  spdlog::file_event_handlers events;
  events.before_open = [](const spdlog::filename_t& name) {
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) ::close(fd);
  };
  events.after_open = [](const spdlog::filename_t&, std::FILE* file) {
    if (file) (void)::fchmod(::fileno(file), 0600);
  };
  return events;
}
}  // namespace

template <typename Mutex>
OrsaRotatingFileSink<Mutex>::OrsaRotatingFileSink(const std::string& basePath, size_t maxSize,
                                                  size_t backups)
    : basePath_(basePath), maxSize_(maxSize), backups_(backups), file_(privateFileEvents()) {
  file_.open(fileName(basePath_, 1), false);
  currentSize_ = file_.size();
}

template <typename Mutex>
std::string OrsaRotatingFileSink<Mutex>::fileName(const std::string& basePath, size_t index) {
  auto [stem, ext] = spdlog::details::file_helper::split_by_extension(basePath);
  return stem + std::to_string(index) + ext;
}

template <typename Mutex>
void OrsaRotatingFileSink<Mutex>::setEncryptKey(const std::string& key) {
  std::lock_guard<Mutex> lock(this->mutex_);
  scrambler_ = OrsaScrambler(key);
}

template <typename Mutex>
void OrsaRotatingFileSink<Mutex>::setHeadinfo(const std::string& text) {
  std::lock_guard<Mutex> lock(this->mutex_);
  headinfo_ = text;
  OrsaLogMsg head(0, spdlog::level::info, nullptr, 0, headinfo_);
  sink_it_(head);
}

template <typename Mutex>
void OrsaRotatingFileSink<Mutex>::writeScrambled(spdlog::memory_buf_t& buf) {
  scrambler_.apply(buf.data(), buf.size());
  file_.write(buf);
}

template <typename Mutex>
void OrsaRotatingFileSink<Mutex>::sink_it_(const spdlog::details::log_msg& msg) {
  spdlog::memory_buf_t line;
  formatter_.format(msg, line);
  size_t newSize = currentSize_ + line.size();
  if (newSize > maxSize_) {
    rotate();
    currentSize_ = line.size();
    if (!headinfo_.empty()) {
      spdlog::memory_buf_t head;
      formatter_.formatHeadInfo(headinfo_, head);
      currentSize_ += head.size();
      writeScrambled(head);
    }
  } else {
    currentSize_ = newSize;
  }
  writeScrambled(line);
}

template <typename Mutex>
void OrsaRotatingFileSink<Mutex>::flush_() {
  file_.flush();
}

template <typename Mutex>
void OrsaRotatingFileSink<Mutex>::rotate() {
  namespace os = spdlog::details::os;
  file_.close();
  auto renameOnce = [](const std::string& from, const std::string& to) {
    (void)os::remove(to);
    return std::rename(from.c_str(), to.c_str()) == 0;
  };
  for (size_t n = backups_; n >= 1; --n) {
    std::string src = fileName(basePath_, n);
    if (!os::path_exists(src)) continue;
    std::string target = fileName(basePath_, n + 1);
    if (!renameOnce(src, target)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (!renameOnce(src, target)) {
        file_.reopen(true);
        currentSize_ = 0;
        spdlog::throw_spdlog_ex("rotating_file_sink: failed renaming " + src + " to " + target,
                                errno);
      }
    }
  }
  file_.reopen(true);
}

template class OrsaConsoleSink<std::mutex>;
template class OrsaConsoleSink<spdlog::details::null_mutex>;
template class OrsaRotatingFileSink<std::mutex>;
template class OrsaRotatingFileSink<spdlog::details::null_mutex>;

// ---- logger

OrsaLogger::OrsaLogger(spdlog::sinks_init_list sinks)
    : spdlog::logger(std::string(kOrsaLoggerName), sinks) {}

void OrsaLogger::write(uint32_t tag, int32_t level, const char* file, int32_t line,
                       std::string_view message) {
  auto lvl = static_cast<spdlog::level::level_enum>(level);
  if (level < 0 || level >= spdlog::level::n_levels || !should_log(lvl)) return;
  OrsaLogMsg msg(tag, lvl, file, line, message);
  sink_it_(msg);
}

void OrsaLogger::set_encrypt_key(const std::string& key) {
  for (auto& s : sinks_)
    if (auto* x = dynamic_cast<OrsaSinkExtras*>(s.get())) x->setEncryptKey(key);
}

void OrsaLogger::set_headinfo(const std::string& text) {
  for (auto& s : sinks_) {
    if (auto* x = dynamic_cast<OrsaSinkExtras*>(s.get())) {
      try {
        x->setHeadinfo(text);
      } catch (const std::exception& e) {
        err_handler_(e.what());
      }
    }
  }
}
