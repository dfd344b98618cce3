// Connects a station's run to the line ledger: the records of finished ports
// (written by a background writer, never on a worker's path) and the shared
// serial series. Settings: [Ledger] Station= (default: the host name), Url=
// (empty: ledger.sqlite in the station folder; postgresql://... or libpq
// settings such as service=NAME for a line), Series= (default "default") and
// TimeoutS= (default 10: the longest any wait on the line's server lasts).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

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

// A finished port whose record is not (yet) in the ledger.
struct UnstoredRecord {
  int port = 0;  // 1-16, as the run's Port column counts
  std::string serial;
  std::string why;
};

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
  // A link to a ledger that could not be opened (`why`): it records nothing
  // and refuses every Start, naming the ledger and the fix.
  static std::unique_ptr<LedgerLink> Unopened(LedgerConfig config, settings::StationPaths paths,
                                              std::string why);
  // Writes every record still queued.
  ~LedgerLink() override;

  // A new run; first marks aborted what earlier runs of this station left
  // started (a killed or crashed program's).
  std::string BeginRun() override;
  // The port gets a started record, which its end completes.
  void PortStarted(const PortStart& start) override;
  void PortFinished(PortResult&& result) override;
  void RunEnded() override;
  // The newest passed drive of the ledger with `barcode` as its serial.
  [[nodiscard]] std::string EarlierPassed(std::string_view barcode) override;

  // Where this Start's records go cannot take them: the ledger could not be
  // opened, is damaged or cannot be written, or its folder's disk is (all
  // but) full.
  [[nodiscard]] std::vector<std::string> StartProblems() override;

  [[nodiscard]] bool Active() const override { return ledger_ && ledger_->Shared(); }
  [[nodiscard]] bool Take(int count, std::string_view seed, std::vector<std::string>* serials,
                          std::string* why) override;

  // Waits up to `timeoutMs` for the records queued so far.
  bool Flush(int64_t timeoutMs) { return !writer_ || writer_->Flush(timeoutMs); }
  // Keeps every record not yet written in the spool, at once (the program
  // is ending); the number kept.
  size_t KeepAll() { return writer_ ? writer_->KeepAll() : 0; }
  // The longest the records queued so far can take to be written: the first
  // wait on an absent server, then the spool, then a push of it.
  [[nodiscard]] int64_t FlushBoundMs() const {
    return (3 * int64_t{config_.timeoutSeconds} + 5) * 1000;
  }
  // Every finished port whose record is not stored: still queued, refused
  // by the ledger (and its spool), or never queued; in the order they ended.
  [[nodiscard]] std::vector<UnstoredRecord> UnstoredRecords() const;

  // The free space a Start needs in the station folder for its records.
  static constexpr uint64_t kMinFreeBytes = uint64_t{4} << 20;
  using FreeSpaceProbe = std::function<std::optional<uint64_t>(const std::string& folder)>;
  // Replaces the file system's answer (tests).
  void SetFreeSpaceProbe(FreeSpaceProbe probe) { freeSpace_ = std::move(probe); }

  [[nodiscard]] ledger::Ledger& ledger() { return *ledger_; }
  [[nodiscard]] const LedgerConfig& config() const { return config_; }
  [[nodiscard]] const ledger::RecordWriter& writer() const { return *writer_; }

 private:
  struct RunFacts {
    std::string settingsSha256;
    std::string mpVersion;
  };

  class Tracked;
  struct Pending {
    uint64_t order = 0;
    UnstoredRecord record;
  };
  void Stored(const std::string& id, bool stored, const std::string& why);

  std::unique_ptr<ledger::Ledger> ledger_;  // null when it could not be opened
  const LedgerConfig config_;
  const settings::StationPaths paths_;
  std::string openError_;
  FreeSpaceProbe freeSpace_;
  mutable std::mutex mutex_;
  std::map<std::string, RunFacts> runs_;
  std::map<std::string, Pending> unstored_;     // by record ID
  std::map<std::string, std::string> started_;  // record ID by run ID and port
  uint64_t finished_ = 0;
  std::atomic<int64_t> noLookupUntilMs_{0};  // steady clock
  // What the writer appends through: it keeps unstored_ up to date.
  std::unique_ptr<Tracked> tracked_;
  // Declared last: stopped (and drained) before the ledger goes.
  std::unique_ptr<ledger::RecordWriter> writer_;
};

}  // namespace qelvar::engine
