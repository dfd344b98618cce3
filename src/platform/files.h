// The few file-system calls the station needs beyond the standard library:
// where the running program lives, and replacing a file so that a crash or a
// full disk never leaves it half written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qelvar::platform {

// The characters that end a folder's name in a path: '/', and on Windows the
// backslash as well (the file dialogs give those).
#ifdef _WIN32
inline constexpr std::string_view kPathSeparators = "/\\";
#else
inline constexpr std::string_view kPathSeparators = "/";
#endif

// The folder of the running executable, without a trailing separator; empty
// when the system cannot tell.
[[nodiscard]] std::string ExecutableDir();

// Replaces the file at `path` with `bytes`: writes them to a new file in the
// same folder, flushes it to the disk, then renames it over the file. Either
// the old file or the complete new one is left, never a mixture; the aside
// file is removed when anything fails.
//  - What the file was stays: a replaced file keeps its owner, group and
//    permission bits (the station runs as root, the file may belong to the
//    operator); a new one gets 0666 less the umask. When `path` is a symbolic
//    link, the file it points to is replaced and the link stays a link.
//  - Aside files that an earlier write left behind when it was killed are
//    removed first (never one that a running write still uses).
// True when the file was replaced. Otherwise, when `why` is given, it gets a
// sentence for the operator naming the file or folder and the system's reason
// ("cannot create a file in the folder /opt/station: Permission denied").
[[nodiscard]] bool ReplaceFile(const std::string& path, std::string_view bytes,
                               std::string* why = nullptr);

// Appends exactly `bytes` to the file with one write, creating the file when
// missing, and flushes it to the disk. False when it cannot be opened or
// written.
[[nodiscard]] bool AppendToFile(const std::string& path, std::string_view bytes);

// Flushes what was written to the file (or the entries of the folder) at
// `path` to the disk. False when it cannot be opened or flushed.
[[nodiscard]] bool FlushToDisk(const std::string& path);

// Creates one folder level. True when the folder was created or something of
// that name already exists (a file of that name is left alone).
bool MakeFolder(const std::string& path);

// The bytes this user may still write on the file system that holds
// `folder`; nothing when the system cannot tell (no such folder).
[[nodiscard]] std::optional<uint64_t> FreeBytes(const std::string& folder);

}  // namespace qelvar::platform

namespace qelvar::platform {

// The machine's host name; "station" when the system cannot tell.
[[nodiscard]] std::string HostName();

}  // namespace qelvar::platform
