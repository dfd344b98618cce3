#include <gtest/gtest.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>

#include "platform/files.h"
#include "support/temp_folder.h"

namespace qelvar::platform {
namespace {

namespace fs = std::filesystem;

class ReplaceFileTest : public ::testing::Test {
 protected:
  std::string At(const std::string& rel) const { return (dir_ / rel).string(); }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  static void Write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  std::set<std::string> Names() const {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.insert(e.path().filename().string());
    return names;
  }
  // Root passes every permission check; these tests need the ordinary rules.
  static bool SkipUnlessRoot() {
    if (::geteuid() == 0) return false;
    const char* ci = std::getenv("QELVAR_CI");
    if (ci != nullptr && std::string(ci) == "1") ADD_FAILURE() << "CI runs these tests as root";
    return true;
  }

  qelvar::testing::TempFolder folder_{"files"};
  const fs::path dir_ = folder_.path();
};

TEST_F(ReplaceFileTest, KeepsTheOwnerGroupAndModeOfTheReplacedFile) {
  if (SkipUnlessRoot()) GTEST_SKIP() << "giving a file to another user needs root";
  const std::string path = At("speedQelvar.ini");
  Write(path, "old");
  ASSERT_EQ(::chown(path.c_str(), 1234, 5678), 0);
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  ASSERT_TRUE(ReplaceFile(path, "new"));
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 1234u);
  EXPECT_EQ(st.st_gid, 5678u);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(Read(path), "new");
}

TEST_F(ReplaceFileTest, ReplacesTheFileALinkPointsToAndKeepsTheLink) {
  fs::create_directory(dir_ / "real");
  Write(At("real/speedQelvar.ini"), "old");
  // A relative link to a relative link to the file.
  fs::create_symlink("real/speedQelvar.ini", dir_ / "middle.ini");
  fs::create_symlink("middle.ini", dir_ / "speedQelvar.ini");
  ASSERT_TRUE(ReplaceFile(At("speedQelvar.ini"), "new"));
  EXPECT_TRUE(fs::is_symlink(dir_ / "speedQelvar.ini"));
  EXPECT_TRUE(fs::is_symlink(dir_ / "middle.ini"));
  EXPECT_EQ(fs::read_symlink(dir_ / "speedQelvar.ini"), "middle.ini");
  EXPECT_EQ(Read(At("real/speedQelvar.ini")), "new");
  EXPECT_EQ(Names(), (std::set<std::string>{"middle.ini", "real", "speedQelvar.ini"}));
  // A dangling link gets its file created.
  fs::create_symlink("real/reports.txt", dir_ / "reports.txt");
  ASSERT_TRUE(ReplaceFile(At("reports.txt"), "r"));
  EXPECT_TRUE(fs::is_symlink(dir_ / "reports.txt"));
  EXPECT_EQ(Read(At("real/reports.txt")), "r");
  // Links that loop are refused with a reason.
  fs::create_symlink("loop-b", dir_ / "loop-a");
  fs::create_symlink("loop-a", dir_ / "loop-b");
  std::string why;
  EXPECT_FALSE(ReplaceFile(At("loop-a"), "x", &why));
  EXPECT_NE(why.find("loop-a"), std::string::npos) << why;
}

TEST_F(ReplaceFileTest, SaysWhichFolderCannotBeWrittenAndWhy) {
  const std::string path = At("speedQelvar.ini");
  Write(path, "old");
  fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec);
  bool replaced = true;
  std::string why;
  // Root writes anywhere; a thread of ours checks files as an ordinary user.
  std::thread writer([&] {
    if (::geteuid() == 0) (void)::setfsuid(65534);
    replaced = ReplaceFile(path, "new", &why);
    if (::geteuid() == 0) (void)::setfsuid(0);
  });
  writer.join();
  EXPECT_FALSE(replaced);
  EXPECT_EQ(why, "cannot create a file in the folder " + dir_.string() + ": Permission denied");
  EXPECT_EQ(Read(path), "old");

  why.clear();
  EXPECT_FALSE(ReplaceFile(At("missing/speedQelvar.ini"), "new", &why));
  EXPECT_EQ(why,
            "cannot create a file in the folder " + At("missing") + ": No such file or directory");
}

TEST_F(ReplaceFileTest, RemovesAsideFilesThatAKilledWriteLeftBehind) {
  // A writer that is gone: a child that has ended and been reaped.
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) ::_exit(0);
  ASSERT_EQ(::waitpid(child, nullptr, 0), child);
  const std::string path = At("speedQelvar.ini");
  Write(path, "old");
  const std::string dead = "speedQelvar.ini.tmp" + std::to_string(child) + "-0";
  const std::string former = "speedQelvar.ini.tmp" + std::to_string(::getpid()) + "-99999";
  const std::string living = "speedQelvar.ini.tmp" + std::to_string(::getppid()) + "-3";
  const std::string otherFile = "flash.ini.tmp" + std::to_string(child) + "-0";
  for (const std::string& name : {dead, former, living, otherFile}) Write(At(name), "half");

  ASSERT_TRUE(ReplaceFile(path, "new"));
  // The aside file of a process that still runs stays: it may be writing.
  EXPECT_EQ(Names(), (std::set<std::string>{"speedQelvar.ini", living, otherFile}));
  EXPECT_EQ(Read(path), "new");
}

}  // namespace
}  // namespace qelvar::platform
