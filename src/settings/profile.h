// INI profiles, read and written one key at a time with the rules operators'
// existing files were made under:
//  - a section starts at a line "[name]"; section and key names are matched
//    without regard to (ASCII) case, and blanks around names and values are
//    ignored;
//  - a key line is "name=value"; a line without "=" is a key with an empty
//    value; keys before the first section belong to none;
//  - a value wrapped in a pair of matching quotes ("..." or '...') is read
//    without them;
//  - when a name occurs more than once, the first occurrence counts: a key
//    is looked for in the first section of its name only, never in a later
//    section of the same name;
//  - a missing file, section or key, or an empty value, gives the default;
//  - an integer is an optional sign and decimal digits, read up to the first
//    other character; no digits read as 0; it wraps at 32 bits;
//  - a text is cut to the capacity it is read into.
// Writing a key changes only that key's line (or adds the line, and the
// section, where they are missing) and keeps every other byte of the file:
// comments, blank lines, order, unknown sections and keys, and the file's own
// line ends (CR LF for a new file). The file is replaced atomically, so a
// crash or a full disk leaves the old file whole.
//
// The text functions work on any bytes; the file functions read the whole file
// on every call, as small profile files allow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace qelvar::settings {

// --- On text in memory -----------------------------------------------------

// The value of `key` in `section` (blanks trimmed, quotes removed), or nothing
// when the section or key is missing. The view points into `text`.
[[nodiscard]] std::optional<std::string_view> FindProfileValue(std::string_view text,
                                                               std::string_view section,
                                                               std::string_view key);

// Sets `key` of `section` to `value` in `text`. A value ends at its first line
// break. False, and `text` unchanged, when the names cannot be written as a
// profile line (a line break in either, "]" in the section, "=" in the key).
[[nodiscard]] bool SetProfileValue(std::string& text, std::string_view section,
                                   std::string_view key, std::string_view value);

// True when `text` has a section of that name (matched as keys are).
[[nodiscard]] bool HasProfileSection(std::string_view text, std::string_view section);

// The profile rule for integers: optional blanks, an optional sign, decimal
// digits up to the first other character, wrapping at 32 bits.
[[nodiscard]] int32_t ParseProfileInt(std::string_view value);

// --- On files -------------------------------------------------------------

// Reads a whole regular file. False when it cannot be opened or read.
[[nodiscard]] bool ReadWholeFile(const std::string& path, std::string& out);

// True when `path` names a regular file that can be opened for reading.
[[nodiscard]] bool FileOpensForReading(const std::string& path);

// A profile file read once, for many lookups in a row (the load of all
// settings). A file that cannot be read behaves as an empty one.
class Profile {
 public:
  [[nodiscard]] static Profile Read(const std::string& path);
  [[nodiscard]] static Profile FromText(std::string text);

  [[nodiscard]] bool present() const { return present_; }
  // The value, or `fallback` when missing or empty, cut to `maxChars`.
  [[nodiscard]] std::string GetString(std::string_view section, std::string_view key,
                                      std::string_view fallback, size_t maxChars) const;
  // Into a fixed field of `capacity` bytes: at most capacity - 1 characters,
  // always terminated, the rest zeroed. Returns the characters copied.
  size_t GetString(std::string_view section, std::string_view key, std::string_view fallback,
                   char* field, size_t capacity) const;
  [[nodiscard]] int32_t GetInt(std::string_view section, std::string_view key,
                               int32_t fallback) const;

 private:
  std::string text_;
  bool present_ = false;
};

// One key per call, each reading the file afresh.
size_t ReadProfileString(const std::string& path, std::string_view section, std::string_view key,
                         std::string_view fallback, char* field, size_t capacity);
[[nodiscard]] int32_t ReadProfileInt(const std::string& path, std::string_view section,
                                     std::string_view key, int32_t fallback);

// True when `path` is an existing file marked read-only: no write permission
// for anyone (a read-only file on Windows). A profile write refuses such a
// file, whoever runs the station, instead of renaming a new one over it.
[[nodiscard]] bool IsReadOnlyFile(const std::string& path);

// Writes one key and replaces the file. False when the file could not be
// written (the old file is then unchanged); `why`, when given, then gets the
// reason for the operator.
[[nodiscard]] bool WriteProfileString(const std::string& path, std::string_view section,
                                      std::string_view key, std::string_view value,
                                      std::string* why = nullptr);
[[nodiscard]] bool WriteProfileInt(const std::string& path, std::string_view section,
                                   std::string_view key, int32_t value, std::string* why = nullptr);

// Several keys written in order with a single replacement of the file: the
// bytes are those of the same writes made one at a time, but a crash can only
// leave the file before all of them or after all of them.
struct ProfileWrite {
  std::string_view section;
  std::string_view key;
  std::string value;
};
[[nodiscard]] bool WriteProfileStrings(const std::string& path,
                                       std::span<const ProfileWrite> writes,
                                       std::string* why = nullptr);

}  // namespace qelvar::settings
