#include "app/diagnostics_file.h"

#include <cstdio>

#include "app/cli_output.h"
#include "platform/files.h"

namespace qelvar::app {

DiagnosticsFile::~DiagnosticsFile() {
  std::string text;
  for (const transport::ExchangeRecord& r : records_) {
    text += FormatExchangeJson(r, BridgeOfPath(ports_, r.path));
  }
  if (!platform::ReplaceFile(path_, text)) {
    std::fprintf(stderr, "qelvar-cli: cannot write the diagnostics file %s\n", path_.c_str());
  }
}

void DiagnosticsFile::Add(const transport::ExchangeRecord& record) {
  std::lock_guard lock(mutex_);
  records_.push_back(record);
}

}  // namespace qelvar::app
