#include "platform/Digest.h"

#include <gtest/gtest.h>

#include "support/TestSupport.h"

using orsa::platform::Digest;

TEST(DigestTest, KnownDigestsOfBytesAndOfFilesAcrossBlocks) {
  EXPECT_EQ(Digest::md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Digest::md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Digest::sha256Hex(""),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Digest::sha256Hex("abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  orsa::test::TempDir dir;
  // One byte over a whole read block, with a NUL inside, must digest like the bytes themselves.
  std::string bytes((1 << 20) + 1, 'x');
  bytes[7] = '\0';
  orsa::test::writeFile(dir.path() / "f", bytes);
  for (auto alg : {Digest::Algorithm::MD5, Digest::Algorithm::SHA256}) {
    EXPECT_EQ(Digest::ofFile(alg, (dir.path() / "f").string()), Digest::of(alg, bytes));
    EXPECT_EQ(Digest::of(alg, bytes).size(), Digest::sizeOf(alg));
  }
  std::string error;
  EXPECT_FALSE(Digest::ofFile(Digest::Algorithm::MD5, (dir.path() / "none").string(), &error));
  EXPECT_FALSE(error.empty());
}
