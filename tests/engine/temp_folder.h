// A fresh station folder per test, removed afterwards.
#pragma once

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

namespace qelvar::engine::test {

class TempFolder {
 public:
  TempFolder() {
    static std::atomic<int> next{0};
    static const unsigned run = std::random_device{}();
    path_ = std::filesystem::temp_directory_path() /
            ("qelvar_engine_" + std::to_string(run) + "_" + std::to_string(next++));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  [[nodiscard]] std::string Path() const { return path_.string(); }
  [[nodiscard]] std::string Dbug() const { return (path_ / "dbug").string(); }

 private:
  std::filesystem::path path_;
};

// The file's bytes exactly as stored.
inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace qelvar::engine::test
