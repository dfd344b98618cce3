// Fixtures of the settings tests: a scratch station folder, the MP page's
// controls as maps, and a recorder of message boxes.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "settings/control_memory.h"
#include "settings/settings_file.h"
#include "support/temp_folder.h"

namespace qelvar::settings::testing {

// A fresh folder per test, removed afterwards.
using TempDir = ::qelvar::testing::TempFolder;

inline void WriteFile(const std::string& path, std::string_view bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline void WriteFileOfSize(const std::string& path, size_t size, char fill = 'x') {
  WriteFile(path, std::string(size, fill));
}

// A test case name from a value's text: letters and digits kept, signs
// spelt out, anything else an underscore; "Empty" for no text.
inline std::string CaseName(std::string_view text) {
  std::string name;
  for (char c : text) {
    bool plain = std::isalnum(static_cast<unsigned char>(c)) != 0;
    name += plain ? std::string(1, c) : c == '-' ? "Minus" : c == '+' ? "Plus" : "_";
  }
  return name.empty() ? "Empty" : name;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The MP page's controls, as plain maps: the command-line station's own page.
using FakeSettingsView = ControlMemory;

struct Message {
  std::string text;
  std::string caption;
  MessageIcon icon;
  bool operator==(const Message&) const = default;
};

inline void PrintTo(const Message& m, std::ostream* os) {
  *os << "{\"" << m.text << "\", \"" << m.caption << "\", " << static_cast<int>(m.icon) << "}";
}

class RecordingMessages final : public MessageSink {
 public:
  void Show(std::string_view text, std::string_view caption, MessageIcon icon) override {
    shown.push_back({std::string(text), std::string(caption), icon});
  }
  std::vector<Message> shown;
};

inline Message Warning(std::string text, std::string caption) {
  return {std::move(text), std::move(caption), MessageIcon::kWarning};
}

// A station folder with the page and record the settings operations work on.
struct Station {
  TempDir dir;
  StationPaths paths = MakeStationPaths(dir.str());
  MpSettings settings;
  FakeSettingsView view;
  RecordingMessages messages;
  PageContext page{paths, settings, view, messages};

  void Firmware(const std::string& name, size_t size = 16) {
    WriteFileOfSize(dir / ("Firmware/" + name), size);
  }
};

}  // namespace qelvar::settings::testing
