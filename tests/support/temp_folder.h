// A fresh, empty folder under the system's temporary folder for one test,
// removed with all it holds when the test is done. Its name is made unique
// for the process and for each folder the process makes, and the folder is
// created exclusively, so tests running in parallel never share one.
// std::filesystem only: the same helper serves the Windows build.
#pragma once

#include <atomic>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace qelvar::testing {

class TempFolder {
 public:
  // `purpose` goes into the name ("qelvar-<purpose>-...", other characters
  // than letters and digits as "_"), so a folder left by a test that crashed
  // tells which tests made it.
  explicit TempFolder(std::string_view purpose = "test") {
    namespace fs = std::filesystem;
    static std::atomic<unsigned> next{0};
    static const std::string run = std::to_string(
        std::random_device{}() ^
        static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    const fs::path base = fs::temp_directory_path();
    std::string stem = "qelvar-";
    for (char c : purpose) stem += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    stem += "-" + run + "-";
    std::error_code ec;
    for (int attempt = 0; attempt < 1000 && !ec; ++attempt) {
      path_ = base / (stem + std::to_string(next++));
      if (fs::create_directory(path_, ec)) return;
    }
    throw std::runtime_error("cannot make a temporary folder under " + base.string() + ": " +
                             ec.message());
  }
  ~TempFolder() {
    std::error_code ec;
    MakeRemovable(path_);
    std::filesystem::remove_all(path_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  [[nodiscard]] const std::filesystem::path& path() const { return path_; }
  [[nodiscard]] std::string str() const { return path_.string(); }
  // The path of `relative` inside the folder.
  [[nodiscard]] std::string operator/(std::string_view relative) const {
    return (path_ / relative).string();
  }

 private:
  // A test may leave a folder without write or search permission, or a
  // read-only file (which Windows will not delete): give them back to the
  // owner. Symbolic links are not followed, so nothing outside is touched.
  static void MakeRemovable(const std::filesystem::path& folder) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add, ec);
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      std::error_code statusError;
      const fs::file_status status = it->symlink_status(statusError);
      if (statusError || fs::is_symlink(status)) continue;
      if (fs::is_directory(status)) {
        MakeRemovable(it->path());
      } else {
        fs::permissions(it->path(), fs::perms::owner_read | fs::perms::owner_write,
                        fs::perm_options::add, statusError);
      }
    }
  }

  std::filesystem::path path_;
};

}  // namespace qelvar::testing
