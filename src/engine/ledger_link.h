// Connects a station's run to the line ledger: the records of finished ports
// (written by a background writer, never on a worker's path) and the shared
// serial series. Settings: [Ledger] Station= (default: the host name), Url=
// (empty: ledger.sqlite in the station folder; postgresql://... or libpq
// settings such as service=NAME for a line), Series= (default "default") and
// TimeoutS= (default 10: the longest any wait on the line's server lasts).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "engine/port_recorder.h"
#include "ledger/ledger.h"
#include "ledger/record_writer.h"
#include "settings/station_paths.h"

namespace qelvar::engine {

struct LedgerConfig {
  std::string station;
  std::string url;
  std::string series = "default";
  int timeoutSeconds = 10;
};

// [Ledger] of the station's settings file; `urlOverride` (--ledger) wins
// over Url= when not empty.
[[nodiscard]] LedgerConfig ReadLedgerConfig(const settings::StationPaths& paths,
                                            const std::string& urlOverride = {});

// The record a finished port leaves, images hashed.
[[nodiscard]] ledger::Record MakeRecord(const PortResult& result, const std::string& station,
                                        const std::string& settingsSha256,
                                        const std::string& mpVersion);

inline constexpr const char* kLedgerUnreachableCaption = "Shared ledger";

class LedgerLink final : public PortRecorder, public SerialSource {
 public:
  using ErrorSink = ledger::RecordWriter::ErrorSink;

  LedgerLink(std::unique_ptr<ledger::Ledger> ledger, LedgerConfig config,
             settings::StationPaths paths, ErrorSink errors);
  // Opens the ledger the configuration names. Null with *error when it
  // cannot be opened (a shared ledger that cannot be reached still opens).
  static std::unique_ptr<LedgerLink> Open(const LedgerConfig& config,
                                          const settings::StationPaths& paths, ErrorSink errors,
                                          std::string* error);
  // Writes every record still queued.
  ~LedgerLink() override;

  std::string BeginRun() override;
  void PortFinished(PortResult&& result) override;
  void RunEnded() override;

  [[nodiscard]] bool Active() const override { return ledger_->Shared(); }
  [[nodiscard]] bool Take(int count, std::string_view seed, std::vector<std::string>* serials,
                          std::string* why) override;

  // Waits up to `timeoutMs` for the records queued so far.
  bool Flush(int64_t timeoutMs) { return writer_->Flush(timeoutMs); }
  // Keeps every record not yet written in the spool, at once (the program
  // is ending); the number kept.
  size_t KeepAll() { return writer_->KeepAll(); }
  // The longest the records queued so far can take to be written: the first
  // wait on an absent server, then the spool, then a push of it.
  [[nodiscard]] int64_t FlushBoundMs() const {
    return (3 * int64_t{config_.timeoutSeconds} + 5) * 1000;
  }
  [[nodiscard]] ledger::Ledger& ledger() { return *ledger_; }
  [[nodiscard]] const LedgerConfig& config() const { return config_; }
  [[nodiscard]] const ledger::RecordWriter& writer() const { return *writer_; }

 private:
  struct RunFacts {
    std::string settingsSha256;
    std::string mpVersion;
  };

  std::unique_ptr<ledger::Ledger> ledger_;
  const LedgerConfig config_;
  const settings::StationPaths paths_;
  std::mutex mutex_;
  std::map<std::string, RunFacts> runs_;
  // Declared last: stopped (and drained) before the ledger goes.
  std::unique_ptr<ledger::RecordWriter> writer_;
};

}  // namespace qelvar::engine
