#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orsa::platform {

// Message digests of bytes and of whole files, over OpenSSL's EVP interface. One object
// digests one message fed in pieces; the static helpers cover the one-shot cases.
class Digest {
 public:
  enum class Algorithm { MD5, SHA256 };

  explicit Digest(Algorithm algorithm);
  ~Digest();
  Digest(const Digest&) = delete;
  Digest& operator=(const Digest&) = delete;

  // False once the context failed; finish() then answers nullopt.
  bool update(const void* data, size_t size);
  // The raw digest; the object is spent afterwards.
  std::optional<std::vector<uint8_t>> finish();

  static size_t sizeOf(Algorithm algorithm);  // 16 or 32
  static std::vector<uint8_t> of(Algorithm algorithm, std::string_view bytes);
  // Streams the file in large blocks; the file is never held whole. nullopt (and the reason in
  // `error`) when it cannot be read.
  static std::optional<std::vector<uint8_t>> ofFile(Algorithm algorithm, const std::string& path,
                                                    std::string* error = nullptr);
  // Lower-case hexadecimal, two digits per byte.
  static std::string hex(std::span<const uint8_t> digest);
  static std::string md5Hex(std::string_view bytes);
  static std::string sha256Hex(std::string_view bytes);

 private:
  struct Context;
  std::unique_ptr<Context> ctx_;
};

// A random (version 4) UUID as upper-case 8-4-4-4-12 hexadecimal digits. Drawn from OpenSSL's
// generator, the operating system's when that fails.
std::string makeUuid();

// Frees the calling thread's OpenSSL state. Threads that touch OpenSSL and live until the process
// ends call it, since OpenSSL's exit handler only cleans up the thread that runs it.
void releaseThreadCryptoState();

}  // namespace orsa::platform
