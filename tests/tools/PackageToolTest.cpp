// orsa package prepare / inspect, through the built tool.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <png.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>

#include "support/TestSupport.h"
#include "support/ZipWriter.h"

namespace fs = std::filesystem;
using namespace orsa::test;
using namespace std::chrono_literals;

namespace {

std::string makeVideo(int frames, int w, int h) {
  TempDir t;
  fs::path out = t.path() / "v.mp4";
  auto r = runCommand("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=" + std::to_string(w) +
                          "x" + std::to_string(h) + ":rate=25 -frames:v " + std::to_string(frames) +
                          " -c:v mpeg4 -pix_fmt yuv420p " + out.string(),
                      120);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  return readFile(out);
}

std::string makePng(int w, int h) {
  png_image img{};
  img.version = PNG_IMAGE_VERSION;
  img.width = static_cast<png_uint_32>(w);
  img.height = static_cast<png_uint_32>(h);
  img.format = PNG_FORMAT_GRAY;
  std::vector<uint8_t> px(static_cast<size_t>(w) * h, 200);
  png_alloc_size_t size = 0;
  png_image_write_to_memory(&img, nullptr, &size, 0, px.data(), 0, nullptr);
  std::string out(size, '\0');
  EXPECT_TRUE(png_image_write_to_memory(&img, out.data(), &size, 0, px.data(), 0, nullptr));
  out.resize(size);
  return out;
}

struct Package {
  bool origin = true;
  bool interpolations = true;
  int originFrames = 12;
};

void writePackage(const fs::path& zip, const Package& p) {
  static const std::string origin12 = makeVideo(12, 64, 48);
  static const std::string interp5 = makeVideo(5, 64, 48);
  ZipWriter w(zip);
  if (p.origin)
    w.file("origin.mp4", p.originFrames == 12 ? origin12 : makeVideo(p.originFrames, 160, 120),
           false);
  if (p.interpolations) {
    w.file("interpolations.mp4", interp5, false);
    w.file("interpolations.json",
           R"(["aaaaaaaaaaaaaa0-4-0","aaaaaaaaaaaaaa0-4-1","aaaaaaaaaaaaaa0-4-2",)"
           R"("aaaaaaaaaaaaaa0-4-3","aaaaaaaaaaaaaa4-0-0"])");
  }
  w.file("border.png", makePng(24, 20));
  ASSERT_TRUE(w.close());
}

std::string tool(const TempDir& home, const std::string& args) {
  return orsaToolPath() + " --home " + home.str() + " package " + args;
}

std::string lineValue(const std::string& out, const std::string& key) {
  std::smatch m;
  std::regex re("(^|\n)" + key + ": ([^\n]*)");
  return std::regex_search(out, m, re) ? m[2].str() : std::string("<missing>");
}

class PackageToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (orsaToolPath().empty()) GTEST_SKIP() << "the orsa tool is not built";
  }
  TempDir home_;
  TempDir work_;
};

TEST_F(PackageToolTest, PrepareReportsTheStoreAndKeepsTheUsersFile) {
  fs::path zip = work_.path() / "dh.zip";
  writePackage(zip, {});
  auto r = runCommand(tool(home_, "prepare " + zip.string()));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::string dir = lineValue(r.out, "resource directory");
  EXPECT_EQ(dir.find(home_.str() + "/Library/Caches/OrsaMirelo/dh-resource/"), 0u) << r.out;
  EXPECT_TRUE(fs::exists(fs::path(dir) / "ORSA-DH-META-INFO"));
  EXPECT_EQ(lineValue(r.out, "origin frames"), "12");
  EXPECT_EQ(lineValue(r.out, "interpolation frames"), "5");
  EXPECT_TRUE(fs::exists(zip));
  EXPECT_TRUE(fs::exists(home_.path() / "tmp" / "dh.zip"));
  // Progress for the frame phases went to stderr.
  EXPECT_NE(r.err.find("origin frames"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("(12/12)"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("(5/5)"), std::string::npos) << r.err;

  // Again under another name: the same store, nothing unpacked again.
  fs::remove(fs::path(dir) / "frames" / "000004.jpg");
  fs::copy_file(zip, work_.path() / "other.zip");
  auto again = runCommand(tool(home_, "prepare " + (work_.path() / "other.zip").string()));
  ASSERT_EQ(again.exitCode, 0) << again.err;
  EXPECT_EQ(lineValue(again.out, "resource directory"), dir);
  EXPECT_EQ(lineValue(again.out, "origin frames"), "11");
}

TEST_F(PackageToolTest, PrepareFailuresExitOneWithTheReason) {
  fs::path zip = work_.path() / "no-origin.zip";
  writePackage(zip, {.origin = false});
  auto r = runCommand(tool(home_, "prepare " + zip.string()));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("-200000"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("no origin.mp4"), std::string::npos) << r.err;
  // The user's file stays; the runtime's copy and the resource folder are gone.
  EXPECT_TRUE(fs::exists(zip));
  EXPECT_FALSE(fs::exists(home_.path() / "tmp" / "no-origin.zip"));
  fs::path cache = home_.path() / "Library/Caches/OrsaMirelo/dh-resource";
  size_t leftovers = 0;
  if (fs::exists(cache))
    for (auto& e : fs::recursive_directory_iterator(cache))
      if (!e.is_directory()) ++leftovers;
  EXPECT_EQ(leftovers, 0u);

  fs::path junk = work_.path() / "junk.zip";
  writeFile(junk, "PK but not really");
  r = runCommand(tool(home_, "prepare " + junk.string()));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("not a readable zip"), std::string::npos) << r.err;
  EXPECT_TRUE(fs::exists(junk));

  r = runCommand(tool(home_, "prepare " + (work_.path() / "absent.zip").string()));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("no such package"), std::string::npos) << r.err;

  EXPECT_EQ(runCommand(tool(home_, "prepare")).exitCode, 2);
  EXPECT_EQ(runCommand(tool(home_, "unpack " + zip.string())).exitCode, 2);
}

TEST_F(PackageToolTest, InspectDescribesThePackageWithoutTouchingTheCache) {
  fs::path zip = work_.path() / "dh.zip";
  writePackage(zip, {});
  auto r = runCommand(tool(home_, "inspect " + zip.string()));
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_EQ(lineValue(r.out, "entries"), "4");
  EXPECT_EQ(lineValue(r.out, "origin.mp4"), "64x48, 25 fps, 12 frames") << r.out;
  EXPECT_EQ(lineValue(r.out, "interpolations.mp4"), "64x48, 25 fps, 5 frames");
  EXPECT_EQ(lineValue(r.out, "interpolations.json"), "5 interpolation keys");
  EXPECT_EQ(lineValue(r.out, "border.png"), "24x20");
  EXPECT_EQ(lineValue(r.out, "ready for preparation"), "yes");
  EXPECT_FALSE(fs::exists(home_.path() / "Library/Caches/OrsaMirelo"));
  // Nothing is left in the temporary folder either.
  if (fs::exists(home_.path() / "tmp")) {
    EXPECT_TRUE(fs::is_empty(home_.path() / "tmp"));
  }

  fs::path bad = work_.path() / "bad.zip";
  writePackage(bad, {.origin = false, .interpolations = false});
  r = runCommand(tool(home_, "inspect " + bad.string()));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(lineValue(r.out, "ready for preparation"), "no");
  EXPECT_EQ(lineValue(r.out, "problem"), "origin.mp4 is missing");
  EXPECT_TRUE(fs::exists(bad));

  writeFile(bad, "garbage");
  EXPECT_EQ(runCommand(tool(home_, "inspect " + bad.string())).exitCode, 1);
}

TEST_F(PackageToolTest, PrepareKilledMidwayIsCompletedByTheNextRun) {
  fs::path zip = work_.path() / "long.zip";
  writePackage(zip, {.originFrames = 400});
  fs::path cache = home_.path() / "Library/Caches/OrsaMirelo/dh-resource";

  auto framesSoFar = [&]() -> size_t {
    size_t n = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(cache, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
      if (it->path().extension() == ".jpg") ++n;
    return n;
  };

  bool caught = false;
  for (int attempt = 0; attempt < 3 && !caught; ++attempt) {
    std::error_code ec;
    fs::remove_all(cache, ec);
    std::string bin = orsaToolPath(), homeArg = home_.str(), zipArg = zip.string();
    std::string a0 = "--home", a2 = "package", a3 = "prepare";
    char* argv[] = {bin.data(), a0.data(),     homeArg.data(), a2.data(),
                    a3.data(),  zipArg.data(), nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, bin.c_str(), &fa, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    int status = 0;
    bool exited = false;
    auto deadline = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < deadline && framesSoFar() < 8) {
      if (waitpid(pid, &status, WNOHANG) == pid) {
        exited = true;
        break;
      }
      std::this_thread::sleep_for(1ms);
    }
    if (!exited) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      caught = framesSoFar() < 400;
    }
  }
  ASSERT_TRUE(caught) << "the tool was never caught mid-extraction";

  auto r = runCommand(tool(home_, "prepare " + zip.string()));
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(lineValue(r.out, "origin frames"), "400");
  EXPECT_FALSE(fs::exists(fs::path(lineValue(r.out, "resource directory")) / ".cancel_flag_v2.5"));
}

}  // namespace
