// A fresh station folder per test, removed afterwards, and the bytes of the
// files the engine writes there.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

#include "support/temp_folder.h"

namespace qelvar::engine::test {

// A station folder; Dbug() is its folder of reports.
class TempFolder : public qelvar::testing::TempFolder {
 public:
  TempFolder() : qelvar::testing::TempFolder("engine") {}
  [[nodiscard]] std::string Dbug() const { return *this / "dbug"; }
};

// The file's bytes exactly as stored.
inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace qelvar::engine::test
