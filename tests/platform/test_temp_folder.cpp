// The tests' temporary folder: fresh for each, and gone afterwards whatever
// the test left in it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/temp_folder.h"

namespace qelvar::testing {
namespace {

namespace fs = std::filesystem;

TEST(TempFolder, EachIsANewEmptyFolderOfItsOwn) {
  const TempFolder a("same/purpose"), b("same/purpose");
  EXPECT_NE(a.path(), b.path());
  for (const TempFolder* f : {&a, &b}) {
    EXPECT_TRUE(fs::is_directory(f->path()));
    EXPECT_TRUE(fs::is_empty(f->path()));
    EXPECT_EQ(fs::canonical(f->path().parent_path()), fs::canonical(fs::temp_directory_path()));
  }
  EXPECT_EQ(a / "x.ini", (a.path() / "x.ini").string());
}

TEST(TempFolder, IsRemovedWithReadOnlyFilesAndLockedFolders) {
  fs::path kept;
  {
    const TempFolder f("removal");
    kept = f.path();
    fs::create_directories(f.path() / "sub");
    std::ofstream(f.path() / "sub" / "ro.txt") << "x";
    std::ofstream(f.path() / "ro.txt") << "x";
    fs::permissions(f.path() / "ro.txt", fs::perms::owner_read);
    fs::permissions(f.path() / "sub" / "ro.txt", fs::perms::owner_read);
#ifndef _WIN32
    // No write or search permission on a folder inside: its file cannot be
    // reached until the folder is given back.
    fs::permissions(f.path() / "sub", fs::perms::owner_read);
#endif
  }
  EXPECT_FALSE(fs::exists(kept));
}

#ifndef _WIN32
TEST(TempFolder, LeavesWhatALinkPointsToAlone) {
  const TempFolder outside("outside");
  const std::string target = outside / "target.txt";
  std::ofstream(target) << "x";
  fs::permissions(target, fs::perms::owner_read);
  {
    const TempFolder f("links");
    fs::create_symlink(target, f.path() / "link.txt");
    fs::create_directory_symlink(outside.path(), f.path() / "dir");
  }
  EXPECT_TRUE(fs::exists(target));
  EXPECT_EQ(fs::status(target).permissions(), fs::perms::owner_read);
}
#endif

}  // namespace
}  // namespace qelvar::testing
