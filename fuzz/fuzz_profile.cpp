// Profile reading and writing on arbitrary bytes. Besides surviving any input,
// every write must read back as written and leave every other key's value as
// it was.
//
// Input: "section\0key\0value\0file text", or just file text (the names then
// come from a table of the keys the station uses).
#include <array>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "settings/profile.h"

namespace {

using qelvar::settings::FindProfileValue;
using qelvar::settings::ParseProfileInt;
using qelvar::settings::Profile;
using qelvar::settings::SetProfileValue;

struct Name {
  std::string_view section;
  std::string_view key;
};

constexpr std::array<Name, 10> kNames = {{
    {"MPOption", "NandErase"},
    {"mpoption", "DownloadBurner"},
    {"Identify", "ModelName"},
    {"RDTParam", "ErrBitSlc"},
    {"Debug", "54TEM"},
    {"FlashSelect", "FlashIndex"},
    {"TOSHIBA", "Flash_000"},
    {"", "key"},
    {"BarCode", "Port1"},
    {"MU_B", "DefautBnr"},
}};

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool SameName(std::string_view a, std::string_view b) {
  a = Trim(a);
  b = Trim(b);
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] + 32) : a[i];
    char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] + 32) : b[i];
    if (x != y) return false;
  }
  return true;
}

// What a written value reads back as: its first line, blanks trimmed, one
// pair of surrounding quotes removed.
std::string_view ReadBack(std::string_view value) {
  size_t brk = value.find_first_of("\r\n");
  if (brk != std::string_view::npos) value = value.substr(0, brk);
  value = Trim(value);
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return value;
}

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string_view section, key, value, text;
  size_t a = input.find('\0');
  size_t b = a == std::string_view::npos ? a : input.find('\0', a + 1);
  size_t c = b == std::string_view::npos ? b : input.find('\0', b + 1);
  if (c != std::string_view::npos) {
    section = input.substr(0, a);
    key = input.substr(a + 1, b - a - 1);
    value = input.substr(b + 1, c - b - 1);
    text = input.substr(c + 1);
  } else {
    const Name& name = kNames[size == 0 ? 0 : data[0] % kNames.size()];
    section = name.section;
    key = name.key;
    value = input.substr(0, size < 12 ? size : 12);
    text = input;
  }

  // Reading: any bytes, every kind of lookup.
  std::array<std::optional<std::string>, kNames.size()> before;
  Profile profile = Profile::FromText(std::string(text));
  for (size_t i = 0; i < kNames.size(); ++i) {
    auto found = FindProfileValue(text, kNames[i].section, kNames[i].key);
    if (found) {
      before[i] = std::string(*found);
      (void)ParseProfileInt(*found);
    }
    char field[9];
    size_t copied = profile.GetString(kNames[i].section, kNames[i].key, "", field, sizeof field);
    Check(copied <= 8 && field[copied] == '\0');
    (void)profile.GetInt(kNames[i].section, kNames[i].key, 60);
  }

  // Writing: the key reads back as written, every other key as it was.
  std::string edited(text);
  if (!SetProfileValue(edited, section, key, value)) return 0;
  auto after = FindProfileValue(edited, section, key);
  Check(after.has_value() && *after == ReadBack(value));
  for (size_t i = 0; i < kNames.size(); ++i) {
    if (SameName(kNames[i].section, section) && SameName(kNames[i].key, key)) continue;
    auto now = FindProfileValue(edited, kNames[i].section, kNames[i].key);
    Check(now.has_value() == before[i].has_value());
    if (now) Check(*now == *before[i]);
  }
  return 0;
}
