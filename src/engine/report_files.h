// Where the reports go: the station's "dbug" folder, one file per port and
// table, named by the 0-based port number.
#pragma once

#include <string>
#include <string_view>

namespace qelvar::engine {

inline constexpr std::string_view kRdtReportSuffix = "_RDT.txt";
inline constexpr std::string_view kFctReportSuffix = "_FCTBBT.txt";
inline constexpr std::string_view kDftReportSuffix = "_DFTBBT.txt";

// "<dbugFolder>/<port><suffix>", the port in decimal without leading zeros.
[[nodiscard]] inline std::string ReportFilePath(const std::string& dbugFolder, int port,
                                                std::string_view suffix) {
  std::string path = dbugFolder;
  path += '/';
  path += std::to_string(port);
  path += suffix;
  return path;
}

}  // namespace qelvar::engine
