// Files the station writes beside itself (reports, settings): created,
// replaced whole or grown, never left half-written by a crash.
#pragma once

#include <string>
#include <string_view>

namespace qelvar::platform {

// Creates one folder level. True when the folder was created or something of
// that name already exists (a file of that name is left alone).
bool MakeFolder(const std::string& path);

// Replaces the file with exactly `bytes`: written aside, flushed to the disk,
// then renamed over the old file, so a reader sees the old file or the new
// one and never a part. False when any step failed; the old file is then kept.
[[nodiscard]] bool ReplaceFile(const std::string& path, std::string_view bytes);

// Appends exactly `bytes` to the file, creating it when missing, and flushes
// it to the disk. False when the file cannot be opened or written.
[[nodiscard]] bool AppendToFile(const std::string& path, std::string_view bytes);

}  // namespace qelvar::platform
