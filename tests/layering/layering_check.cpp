// The house rules of the source tree, checked line by line:
//  - the libraries form layers (the order src/CMakeLists.txt adds them in);
//    a file includes only its own layer and those below it;
//  - only src/platform/ includes the operating system's headers or asks
//    which system it is built for, and only its Linux backend the kernel's
//    drive interfaces (SG_IO, udev);
//  - Qt belongs to the window: src/ui/ and the window program's main.
// Usage: layering_check <src folder>. Prints "file:line: rule" for every
// breach and exits 1 when there is one.
#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Bottom up. The platform's backends sit on the platform's core and never
// on each other.
constexpr std::array<std::string_view, 15> kLayers = {
    "text",     "digest",    "platform", "platform/sim", "platform/linux",
    "platform/windows", "transport", "vendor", "settings", "discovery",
    "ledger",   "engine",    "format",   "ui",           "app"};

constexpr std::string_view kUiLayer = "ui";
constexpr std::string_view kWindowMain = "app/qelvar_main.cpp";

std::optional<size_t> RankOf(std::string_view layer) {
  for (size_t i = 0; i < kLayers.size(); ++i) {
    if (kLayers[i] == layer) return i;
  }
  return std::nullopt;
}

bool IsBackend(std::string_view layer) {
  return layer.substr(0, 9) == "platform/";
}

bool IsPlatform(std::string_view layer) { return layer.substr(0, 8) == "platform"; }

// The layer of a path relative to src/ ("engine/run_control.h" -> "engine",
// "platform/linux/x.h" -> "platform/linux"); empty for a file at the top.
std::string LayerOf(std::string_view path) {
  const size_t slash = path.find('/');
  if (slash == std::string_view::npos) return {};
  std::string_view top = path.substr(0, slash);
  if (top == "platform") {
    const size_t next = path.find('/', slash + 1);
    if (next != std::string_view::npos) {
      std::string sub(path.substr(0, next));
      if (RankOf(sub)) return sub;
    }
  }
  return std::string(top);
}

// May a file of layer `from` include one of layer `to`?
bool MayInclude(std::string_view from, std::string_view to) {
  if (from == to) return true;
  const std::optional<size_t> a = RankOf(from);
  const std::optional<size_t> b = RankOf(to);
  if (!a || !b) return false;
  // Neighbouring backends are no layers of one another.
  if (IsBackend(from) && IsBackend(to)) return false;
  return *b < *a;
}

const std::regex kQuotedInclude(R"(^\s*#\s*include\s*"([^"]+)\")");
const std::regex kAngleInclude(R"(^\s*#\s*include\s*<([^>]+)>)");
const std::regex kSystemTest(
    R"(^\s*#\s*(if|ifdef|ifndef|elif)\b.*?\b(_WIN32|_WIN64|__linux__|__unix__|__APPLE__|__MINGW32__|__MINGW64__|_MSC_VER)\b)");

// The headers of an operating system (or of a library only one has).
bool IsSystemHeader(const std::string& header) {
  static const std::array<std::string_view, 13> kFolders = {
      "sys/", "linux/", "scsi/", "netinet/", "arpa/", "net/", "asm/", "bits/", "mach/",
      "ddk/", "winapi/", "libudev", "xcb/"};
  for (std::string_view f : kFolders) {
    if (header.compare(0, f.size(), f) == 0) return true;
  }
  static const std::array<std::string_view, 44> kHeaders = {
      "unistd.h",   "pthread.h",  "signal.h",    "csignal",     "fcntl.h",    "dirent.h",
      "termios.h",  "poll.h",     "netdb.h",     "dlfcn.h",     "grp.h",      "pwd.h",
      "sched.h",    "spawn.h",    "mntent.h",    "semaphore.h", "syslog.h",   "ifaddrs.h",
      "glob.h",     "libgen.h",   "utmp.h",      "aio.h",       "windows.h",  "winioctl.h",
      "winsock2.h", "ws2tcpip.h", "winbase.h",   "winnt.h",     "setupapi.h", "cfgmgr32.h",
      "devguid.h",  "dbt.h",      "ntddscsi.h",  "ntddstor.h",  "shlobj.h",   "shellapi.h",
      "io.h",       "direct.h",   "process.h",   "tlhelp32.h",  "psapi.h",    "aclapi.h",
      "sddl.h",     "initguid.h"};
  return std::find(kHeaders.begin(), kHeaders.end(), header) != kHeaders.end();
}

// The Linux kernel's drive interfaces: the Linux backend's own.
bool IsLinuxDriveHeader(const std::string& header) {
  return header == "libudev.h" || header.compare(0, 5, "scsi/") == 0;
}

bool IsQtHeader(const std::string& header) {
  if (header.size() >= 2 && header[0] == 'Q' && header[1] >= 'A' && header[1] <= 'Z') return true;
  return header.compare(0, 2, "Qt") == 0;
}

bool IsSource(const fs::path& path) {
  const std::string ext = path.extension().string();
  return ext == ".h" || ext == ".hpp" || ext == ".cpp" || ext == ".cc" || ext == ".c";
}

int gFindings = 0;

void Report(const std::string& file, size_t line, const std::string& rule) {
  std::printf("src/%s:%zu: %s\n", file.c_str(), line, rule.c_str());
  ++gFindings;
}

void CheckFile(const fs::path& full, const std::string& rel) {
  const std::string layer = LayerOf(rel);
  if (!RankOf(layer)) {
    Report(rel, 1, "the folder '" + layer + "' is in no layer");
    return;
  }
  const bool platform = IsPlatform(layer);
  const bool qtAllowed = layer == kUiLayer || rel == kWindowMain;
  std::ifstream in(full);
  std::string text;
  size_t number = 0;
  std::smatch m;
  while (std::getline(in, text)) {
    ++number;
    if (text.find('#') == std::string::npos) continue;
    if (std::regex_search(text, m, kQuotedInclude)) {
      const std::string target = m[1].str();
      const std::string to = LayerOf(target);
      if (!to.empty() && !MayInclude(layer, to)) {
        Report(rel, number, "\"" + target + "\": " + layer + " may not include " + to);
      }
    } else if (std::regex_search(text, m, kAngleInclude)) {
      const std::string header = m[1].str();
      if (!platform && IsSystemHeader(header)) {
        Report(rel, number, "<" + header + ">: a system header outside src/platform/");
      } else if (platform && layer != "platform/linux" && IsLinuxDriveHeader(header)) {
        Report(rel, number, "<" + header + ">: a Linux drive interface outside src/platform/linux/");
      } else if (!qtAllowed && IsQtHeader(header)) {
        Report(rel, number, "<" + header + ">: Qt outside src/ui/");
      }
    } else if (!platform && std::regex_search(text, m, kSystemTest)) {
      Report(rel, number, m[2].str() + ": a test of the system outside src/platform/");
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: layering_check <src folder>\n");
    return 2;
  }
  const fs::path root(argv[1]);
  std::error_code ec;
  std::vector<std::string> files;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file() && IsSource(it->path())) {
      files.push_back(it->path().lexically_relative(root).generic_string());
    }
  }
  if (ec || files.empty()) {
    std::fprintf(stderr, "layering_check: cannot read the sources in %s\n", argv[1]);
    return 2;
  }
  std::sort(files.begin(), files.end());
  for (const std::string& rel : files) CheckFile(root / rel, rel);
  if (gFindings > 0) {
    std::printf("%d breach(es) of the layering\n", gFindings);
    return 1;
  }
  return 0;
}
