#include "engine/ledger_link.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <fstream>
#include <iterator>
#include <span>

#include "digest/sha256.h"
#include "engine/serial_number.h"
#include "platform/files.h"
#include "settings/flash_tables.h"
#include "settings/profile.h"
#include "settings/settings_file.h"

namespace qelvar::engine {
namespace {

constexpr size_t kSerialChars = 20;

std::string FileSha256(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return {};
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                             std::istreambuf_iterator<char>());
  return digest::Sha256Hex(bytes);
}

int32_t Total(const CeCounts& counts) {
  int64_t sum = 0;
  for (const auto& channel : counts) {
    for (int32_t n : channel) sum += n;
  }
  return static_cast<int32_t>(std::clamp<int64_t>(sum, INT32_MIN, INT32_MAX));
}

void AdvanceSerial(std::string& serial, uint64_t steps) {
  char text[kSerialChars + 1] = {};
  serial.copy(text, kSerialChars);
  (void)AdvanceSerialText(text, kSerialChars, steps);  // wraps like the station's counter
  serial.assign(text, strnlen(text, kSerialChars));
}

}  // namespace

LedgerConfig ReadLedgerConfig(const settings::StationPaths& paths, const std::string& urlOverride) {
  settings::Profile profile = settings::Profile::Read(paths.gSettingsPath);
  LedgerConfig config;
  config.station = profile.GetString("Ledger", "Station", "", 255);
  if (config.station.empty()) config.station = platform::HostName();
  config.url = urlOverride.empty() ? profile.GetString("Ledger", "Url", "", 1023) : urlOverride;
  config.series = profile.GetString("Ledger", "Series", "default", 255);
  if (config.series.empty()) config.series = "default";
  config.timeoutSeconds = std::clamp(profile.GetInt("Ledger", "TimeoutS", 10), 1, 600);
  return config;
}

ledger::Record MakeRecord(const PortResult& r, const std::string& station,
                          const std::string& settingsSha256, const std::string& mpVersion) {
  ledger::Record record;
  record.id = ledger::NewUuid();
  record.runId = r.runId;
  record.station = station;
  record.port = r.port;
  record.hubInstance = r.hubInstance;
  record.hubPort = r.hubPort;
  record.startedAtMs = r.startedAtMs;
  record.endedAtMs = r.endedAtMs;
  record.model = r.model;
  // The drive's serial field is padded with spaces to 20 characters; the
  // ledger keeps the serial itself, so a lookup by serial finds it.
  record.serial = r.serial.substr(0, r.serial.find_last_not_of(' ') + 1);
  record.fwVersion = r.fwVersion;
  record.capacityMb = r.capacityMb;
  record.bin = r.bin;
  record.rdtResult = r.failCode != kFailNone ? "" : r.rdtPass ? "RDT Pass" : "RDT FAIL";
  record.failCode = r.failCode;
  record.status = r.statusText;
  record.fctBad = Total(r.nand.fctBad);
  record.dftBad = Total(r.nand.dftBad);
  record.rdtBad = Total(r.nand.rdtFail);
  record.runBad = r.runBad;
  const auto& id = r.nand.flashId[0];
  if (id[0] != 0) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (size_t i = 0; i < 6; ++i) {
      record.flashId += kDigits[id[i] >> 4];
      record.flashId += kDigits[id[i] & 15];
    }
    for (size_t i = 0; i < settings::kFlashIdTable.size(); ++i) {
      if (std::equal(settings::kFlashIdTable[i].begin(), settings::kFlashIdTable[i].end(),
                     id.begin())) {
        record.flashPart = std::string(settings::kFlashNameTable[i]);
      }
    }
  }
  if (r.images && r.burnerSent) record.burnerSha256 = digest::Sha256Hex(r.images->gBurnerImage);
  if (r.images && r.spiSent) {
    record.spiSha256 = digest::Sha256Hex(std::span<const uint8_t>(
        r.images->gSpiImage.data(),
        std::min<size_t>(r.images->SpiLength, r.images->gSpiImage.size())));
  }
  if (!r.rdtParamSent.empty()) record.rdtParamSha256 = digest::Sha256Hex(r.rdtParamSent);
  if (!r.sysFwSent.empty()) record.sysFwSha256 = digest::Sha256Hex(r.sysFwSent);
  record.settingsSha256 = settingsSha256;
  record.mpVersion = mpVersion;
  record.programVersion = ledger::ProgramVersion();
  return record;
}

LedgerLink::LedgerLink(std::unique_ptr<ledger::Ledger> ledger, LedgerConfig config,
                       settings::StationPaths paths, ErrorSink errors)
    : ledger_(std::move(ledger)),
      config_(std::move(config)),
      paths_(std::move(paths)),
      writer_(std::make_unique<ledger::RecordWriter>(*ledger_, std::move(errors))) {}

std::unique_ptr<LedgerLink> LedgerLink::Open(const LedgerConfig& config,
                                             const settings::StationPaths& paths, ErrorSink errors,
                                             std::string* error) {
  std::unique_ptr<ledger::Ledger> opened =
      ledger::OpenLedger(config.url, paths.gExeDir, error, config.timeoutSeconds);
  if (!opened) return nullptr;
  return std::make_unique<LedgerLink>(std::move(opened), config, paths, std::move(errors));
}

LedgerLink::~LedgerLink() {
  writer_.reset();
}

std::string LedgerLink::BeginRun() {
  std::string id = ledger::NewUuid();
  RunFacts facts{FileSha256(paths_.gSettingsPath), settings::ReadMpVersion(paths_)};
  std::lock_guard lock(mutex_);
  runs_[id] = std::move(facts);
  return id;
}

void LedgerLink::PortFinished(PortResult&& result) {
  RunFacts facts;
  {
    std::lock_guard lock(mutex_);
    auto it = runs_.find(result.runId);
    if (it != runs_.end()) facts = it->second;
  }
  const bool queued =
      writer_->Submit([result = std::move(result), facts = std::move(facts),
                       station = config_.station]() -> std::optional<ledger::Record> {
        return MakeRecord(result, station, facts.settingsSha256, facts.mpVersion);
      });
  (void)queued;  // a full queue is counted by the writer; the port's result stands
}

void LedgerLink::RunEnded() {
  if (ledger_->Shared()) writer_->SubmitSync();
}

bool LedgerLink::Take(int count, std::string_view seed, std::vector<std::string>* serials,
                      std::string* why) {
  std::string error;
  if (ledger_->TakeSerials(config_.series, seed.substr(0, std::min(seed.size(), kSerialChars)),
                           count, config_.station, AdvanceSerial, serials, &error)) {
    return true;
  }
  *why = "Start refused: no serial numbers could be taken from the shared ledger (" + error +
         "). Carrying on without it could give two drives the same serial number.";
  return false;
}

}  // namespace qelvar::engine
