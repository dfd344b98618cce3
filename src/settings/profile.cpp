#include "settings/profile.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/files.h"

namespace qelvar::settings {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr size_t kNone = std::string_view::npos;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

std::string_view Unquote(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    return v.substr(1, v.size() - 2);
  }
  return v;
}

// Where one key stands in a profile text, or where it would go.
struct KeyPlace {
  bool sectionFound = false;
  size_t insertAt = 0;  // after the last non-blank line of the first matching section
  bool keyFound = false;
  bool hasEquals = false;
  size_t nameEnd = 0;     // end of the key's name (no "=" on the line)
  size_t valueStart = 0;  // first character of the value, blanks skipped
  size_t valueEnd = 0;    // end of the value, trailing blanks excluded
  size_t lineEnd = 0;     // where the line's terminator (CR LF or LF) begins
};

// One pass over the text, stopping at the key. Linear in the text's length.
// Only the first section of a name counts, for reading and for writing: a
// later section of the same name is never looked into, as Windows' profile
// functions do, so a key the first section lacks is added there.
KeyPlace Locate(std::string_view text, std::string_view section, std::string_view key) {
  KeyPlace place;
  bool inFirstSection = false;  // inside the first section of the wanted name
  size_t pos = text.starts_with(kUtf8Bom) ? kUtf8Bom.size() : 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    size_t end = nl == kNone ? text.size() : nl;
    size_t next = nl == kNone ? text.size() : nl + 1;
    size_t b = pos;
    while (b < end && IsBlank(text[b])) ++b;
    size_t e = end;
    while (e > b && IsBlank(text[e - 1])) --e;
    if (b == e) {
      pos = next;
      continue;
    }
    if (text[b] == '[') {
      size_t close = text.substr(b + 1, e - b - 1).rfind(']');
      if (close != kNone) {
        std::string_view name = Trim(text.substr(b + 1, close));
        inFirstSection = !place.sectionFound && EqualNoCase(name, section);
        if (inFirstSection) {
          place.sectionFound = true;
          place.insertAt = next;
        }
        pos = next;
        continue;
      }
    }
    if (inFirstSection) {
      place.insertAt = next;
      std::string_view line = text.substr(b, e - b);
      size_t eq = line.find('=');
      std::string_view name = Trim(line.substr(0, eq));
      if (EqualNoCase(name, key)) {
        place.keyFound = true;
        place.lineEnd = (nl != kNone && end > pos && text[end - 1] == '\r') ? end - 1 : end;
        place.valueEnd = e;
        if (eq != kNone) {
          place.hasEquals = true;
          size_t v = b + eq + 1;
          while (v < e && IsBlank(text[v])) ++v;
          place.valueStart = v;
        } else {
          place.nameEnd = e;
          place.valueStart = e;
        }
        return place;
      }
    }
    pos = next;
  }
  return place;
}

std::string_view LineEndOf(std::string_view text) {
  size_t nl = text.find('\n');
  if (nl == kNone) return "\r\n";
  return (nl > 0 && text[nl - 1] == '\r') ? "\r\n" : "\n";
}

std::string_view FirstLine(std::string_view value) {
  size_t brk = value.find_first_of("\r\n");
  return brk == kNone ? value : value.substr(0, brk);
}

void CopyField(char* field, size_t capacity, std::string_view text) {
  if (capacity == 0) return;
  size_t n = std::min(text.size(), capacity - 1);
  std::memcpy(field, text.data(), n);
  std::memset(field + n, 0, capacity - n);
}

}  // namespace

std::optional<std::string_view> FindProfileValue(std::string_view text, std::string_view section,
                                                 std::string_view key) {
  KeyPlace place = Locate(text, Trim(section), Trim(key));
  if (!place.keyFound) return std::nullopt;
  return Unquote(text.substr(place.valueStart, place.valueEnd - place.valueStart));
}

bool SetProfileValue(std::string& text, std::string_view section, std::string_view key,
                     std::string_view value) {
  section = Trim(section);
  key = Trim(key);
  if (section.find_first_of("\r\n]") != kNone) return false;
  if (key.find_first_of("\r\n=") != kNone || key.starts_with('[')) return false;
  value = FirstLine(value);

  KeyPlace place = Locate(text, section, key);
  if (place.keyFound) {
    if (place.hasEquals) {
      text.replace(place.valueStart, place.lineEnd - place.valueStart, value);
    } else {
      std::string assignment = "=";
      assignment += value;
      text.replace(place.nameEnd, place.lineEnd - place.nameEnd, assignment);
    }
    return true;
  }

  std::string eol(LineEndOf(text));
  std::string line;
  if (place.sectionFound) {
    if (place.insertAt > 0 && text[place.insertAt - 1] != '\n') line += eol;
    line.append(key).append("=").append(value).append(eol);
    text.insert(place.insertAt, line);
    return true;
  }
  bool bomOnly = text == kUtf8Bom;
  if (!text.empty() && !bomOnly && text.back() != '\n') line += eol;
  line.append("[").append(section).append("]").append(eol);
  line.append(key).append("=").append(value).append(eol);
  text += line;
  return true;
}

int32_t ParseProfileInt(std::string_view value) {
  size_t i = 0;
  while (i < value.size() && IsBlank(value[i])) ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) {
    negative = value[i] == '-';
    ++i;
  }
  uint32_t n = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    n = n * 10u + static_cast<uint32_t>(value[i] - '0');
  }
  if (negative) n = 0u - n;
  return static_cast<int32_t>(n);
}

bool ReadWholeFile(const std::string& path, std::string& out) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool FileOpensForReading(const std::string& path) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return false;
  std::ifstream in(path, std::ios::binary);
  return static_cast<bool>(in);
}

Profile Profile::Read(const std::string& path) {
  Profile profile;
  profile.present_ = ReadWholeFile(path, profile.text_);
  if (!profile.present_) profile.text_.clear();
  return profile;
}

Profile Profile::FromText(std::string text) {
  Profile profile;
  profile.text_ = std::move(text);
  profile.present_ = true;
  return profile;
}

std::string Profile::GetString(std::string_view section, std::string_view key,
                               std::string_view fallback, size_t maxChars) const {
  std::optional<std::string_view> value = FindProfileValue(text_, section, key);
  std::string_view chosen = (value && !value->empty()) ? *value : fallback;
  return std::string(chosen.substr(0, std::min(chosen.size(), maxChars)));
}

size_t Profile::GetString(std::string_view section, std::string_view key, std::string_view fallback,
                          char* field, size_t capacity) const {
  if (capacity == 0) return 0;
  std::string value = GetString(section, key, fallback, capacity - 1);
  CopyField(field, capacity, value);
  return value.size();
}

int32_t Profile::GetInt(std::string_view section, std::string_view key, int32_t fallback) const {
  std::optional<std::string_view> value = FindProfileValue(text_, section, key);
  if (!value || value->empty()) return fallback;
  return ParseProfileInt(*value);
}

size_t ReadProfileString(const std::string& path, std::string_view section, std::string_view key,
                         std::string_view fallback, char* field, size_t capacity) {
  return Profile::Read(path).GetString(section, key, fallback, field, capacity);
}

int32_t ReadProfileInt(const std::string& path, std::string_view section, std::string_view key,
                       int32_t fallback) {
  return Profile::Read(path).GetInt(section, key, fallback);
}

bool HasProfileSection(std::string_view text, std::string_view section) {
  // No key name can hold a line break, so only the section is looked for.
  return Locate(text, section, "\n").sectionFound;
}

bool IsReadOnlyFile(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (ec || !fs::is_regular_file(status)) return false;
  const fs::perms write = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
  return (status.permissions() & write) == fs::perms::none;
}

bool WriteProfileString(const std::string& path, std::string_view section, std::string_view key,
                        std::string_view value, std::string* why) {
  ProfileWrite write{section, key, std::string(value)};
  return WriteProfileStrings(path, std::span<const ProfileWrite>(&write, 1), why);
}

bool WriteProfileInt(const std::string& path, std::string_view section, std::string_view key,
                     int32_t value, std::string* why) {
  return WriteProfileString(path, section, key, std::to_string(value), why);
}

bool WriteProfileStrings(const std::string& path, std::span<const ProfileWrite> writes,
                         std::string* why) {
  auto fail = [&](std::string text) {
    if (why != nullptr) *why = std::move(text);
    return false;
  };
  // The rename would replace a read-only file as readily as any other.
  if (IsReadOnlyFile(path)) return fail("the file " + path + " is read-only");
  std::string text;
  std::error_code ec;
  if (std::filesystem::exists(path, ec)) {
    // An existing file that cannot be read is never replaced by one built
    // from nothing.
    if (!ReadWholeFile(path, text)) return fail("cannot read " + path);
  }
  for (const ProfileWrite& w : writes) {
    if (!SetProfileValue(text, w.section, w.key, w.value)) {
      return fail("cannot write the key \"" + std::string(w.key) + "\" of section \"" +
                  std::string(w.section) + "\" as a profile line");
    }
  }
  return platform::ReplaceFile(path, text, why);
}

}  // namespace qelvar::settings
