// A report being built in memory: appends text and printf-style integers
// without going through printf, since a bad-block report can run to hundreds
// of thousands of lines and is rebuilt on every run.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qelvar::engine {

class ReportText {
 public:
  void Reserve(size_t bytes) { text_.reserve(bytes); }
  void Append(std::string_view s) { text_.append(s); }
  void Append(char c) { text_.push_back(c); }
  // As printf "%0<width>d" (width 0: "%d").
  void AppendDec(int64_t value, int width = 0);
  // As printf "%0<width>x", lower case.
  void AppendHex(uint64_t value, int width = 0);

  [[nodiscard]] const std::string& Text() const { return text_; }
  [[nodiscard]] std::string Take() { return std::move(text_); }

 private:
  std::string text_;
};

}  // namespace qelvar::engine
