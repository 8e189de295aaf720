#include "platform/Digest.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <random>

#include <fmt/format.h>

namespace orsa::platform {

struct Digest::Context {
  EVP_MD_CTX* md = nullptr;
  bool ok = false;
};

namespace {

const EVP_MD* mdOf(Digest::Algorithm algorithm) {
  return algorithm == Digest::Algorithm::MD5 ? EVP_md5() : EVP_sha256();
}

}  // namespace

Digest::Digest(Algorithm algorithm) : ctx_(std::make_unique<Context>()) {
  ctx_->md = EVP_MD_CTX_new();
  ctx_->ok = ctx_->md && EVP_DigestInit_ex(ctx_->md, mdOf(algorithm), nullptr) == 1;
}

Digest::~Digest() {
  EVP_MD_CTX_free(ctx_->md);
  // Digests run on pool threads that may live until the process ends.
  releaseThreadCryptoState();
}

bool Digest::update(const void* data, size_t size) {
  if (ctx_->ok && size > 0) ctx_->ok = EVP_DigestUpdate(ctx_->md, data, size) == 1;
  return ctx_->ok;
}

std::optional<std::vector<uint8_t>> Digest::finish() {
  if (!ctx_->ok) return std::nullopt;
  ctx_->ok = false;
  std::vector<uint8_t> out(EVP_MAX_MD_SIZE);
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(ctx_->md, out.data(), &len) != 1) return std::nullopt;
  out.resize(len);
  return out;
}

size_t Digest::sizeOf(Algorithm algorithm) {
  return algorithm == Algorithm::MD5 ? 16 : 32;
}

std::vector<uint8_t> Digest::of(Algorithm algorithm, std::string_view bytes) {
  Digest d(algorithm);
  d.update(bytes.data(), bytes.size());
  return d.finish().value_or(std::vector<uint8_t>{});
}

std::optional<std::vector<uint8_t>> Digest::ofFile(Algorithm algorithm, const std::string& path,
                                                   std::string* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = std::strerror(errno);
    return std::nullopt;
  }
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  Digest d(algorithm);
  // Large blocks keep the digest at the speed of sha256sum.
  constexpr size_t kBlock = 1 << 20;
  std::unique_ptr<uint8_t[]> buf(new uint8_t[kBlock]);
  for (;;) {
    ssize_t n = ::read(fd, buf.get(), kBlock);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (error) *error = std::strerror(errno);
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    d.update(buf.get(), static_cast<size_t>(n));
  }
  ::close(fd);
  auto out = d.finish();
  if (!out && error) *error = "digest context failed";
  return out;
}

std::string Digest::hex(std::span<const uint8_t> digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(digest.size() * 2);
  for (uint8_t b : digest) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 15]);
  }
  return out;
}

std::string Digest::md5Hex(std::string_view bytes) {
  return hex(of(Algorithm::MD5, bytes));
}

std::string Digest::sha256Hex(std::string_view bytes) {
  return hex(of(Algorithm::SHA256, bytes));
}

std::string makeUuid() {
  std::array<uint8_t, 16> b{};
  if (RAND_bytes(b.data(), static_cast<int>(b.size())) != 1) {
    std::random_device device;
    for (auto& byte : b) byte = static_cast<uint8_t>(device());
  }
  releaseThreadCryptoState();
  b[6] = (b[6] & 0x0f) | 0x40;  // version 4
  b[8] = (b[8] & 0x3f) | 0x80;  // RFC 4122 variant
  return fmt::format(
      "{:02X}{:02X}{:02X}{:02X}-{:02X}{:02X}-{:02X}{:02X}-{:02X}{:02X}-"
      "{:02X}{:02X}{:02X}{:02X}{:02X}{:02X}",
      b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
      b[15]);
}

void releaseThreadCryptoState() {
  // Re-made on demand by the thread's next OpenSSL call.
  OPENSSL_thread_stop();
}

}  // namespace orsa::platform
