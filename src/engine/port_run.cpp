#include "engine/port_run.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "engine/le_bytes.h"
#include "settings/flash_tables.h"

namespace qelvar::engine {
namespace {

using Answer512 = std::array<uint8_t, 512>;

// The CE tables arrive as one byte per (channel, CE), CE-major.
CeCounts CeTableOf(const Answer512& answer) {
  CeCounts table{};
  for (size_t ch = 0; ch < kChannels; ++ch) {
    for (size_t ce = 0; ce < kCesPerChannel; ++ce) table[ch][ce] = answer[ce * 2 + ch];
  }
  return table;
}

std::string_view UpToZero(const char* text, size_t capacity) {
  return {text, strnlen(text, capacity)};
}

}  // namespace

FailCode PollInject(vendor::VendorCommands& commands, vendor::PortTarget target) {
  std::array<uint8_t, vendor::kInjectStatusBytes> answer{};
  return commands.GetInjectStatus(target, answer) == 1 ? kFailNone : kFailGetInject;
}

FailCode ReadInjectStatus(vendor::VendorCommands& commands, vendor::PortTarget target) {
  std::array<uint8_t, vendor::kInjectStatusBytes> answer{};
  if (commands.GetInjectStatus(target, answer) != 1) return kFailGetInject;
  return FailCodeOfStatusWord(LoadLe32(answer, 0));
}

bool ReadNandInfo(vendor::VendorCommands& commands, vendor::PortTarget target,
                  SharedNandReport& report) {
  Answer512 answer{};
  if (commands.GetNandInfo(target, answer) != 1) return true;
  report.Update([&](NandReport& r) {
    r.chCount = answer[0];
    r.ceCount = answer[1];
    r.lunCount = answer[2];
    r.planeCount = answer[3];
    static_assert(sizeof r.flashId == kNandInfoBytes - 4);
    std::memcpy(r.flashId.data(), answer.data() + 4, sizeof r.flashId);
  });
  return answer[0] == 0;
}

bool MatchFlashId(const NandReport& report, std::atomic<uint8_t>& detectedFlashIndex) {
  const auto& id = report.flashId[0];
  for (size_t i = 0; i < settings::kFlashIdTable.size(); ++i) {
    if (std::equal(settings::kFlashIdTable[i].begin(), settings::kFlashIdTable[i].end(),
                   id.begin())) {
      detectedFlashIndex.store(static_cast<uint8_t>(i));
      return true;
    }
  }
  return false;
}

bool ReadCeTables(vendor::VendorCommands& commands, vendor::PortTarget target,
                  SharedNandReport& report) {
  report.Update([](NandReport& r) {
    r.ceBin = {};
    r.ceMr = {};
  });
  Answer512 answer{};
  if (commands.GetCeBinTable(target, answer) != 1) return true;
  report.Update([&](NandReport& r) { r.ceBin = CeTableOf(answer); });

  // A status read sits between the two table reads; its answer is not used.
  std::array<uint8_t, vendor::kInjectStatusBytes> status{};
  (void)commands.GetInjectStatus(target, status);

  answer.fill(0);
  if (commands.GetCeMrTable(target, answer) != 1) return true;
  report.Update([&](NandReport& r) { r.ceMr = CeTableOf(answer); });
  return false;
}

uint8_t ApplyBinRule(uint8_t rawBin, uint8_t setBin) {
  if (setBin == 1) {
    if (rawBin == 2) return 1;
    if (rawBin == 3) return 2;
  } else if (setBin == 2) {
    if (rawBin == 3) return 2;
  }
  return rawBin;
}

bool ReadBin(vendor::VendorCommands& commands, vendor::PortTarget target, uint8_t setBin,
             uint8_t& bin) {
  Answer512 answer{};
  if (commands.GetBin(target, answer) != 1) return true;
  bin = ApplyBinRule(answer[0], setBin);
  return false;
}

std::array<char, 9> DeriveFwVersion(uint8_t bin, const settings::MpSettings& settings) {
  std::array<char, 9> text{};
  std::memcpy(text.data(), settings.FWVersion, text.size());
  text[8] = '\0';
  if (bin != kNoBin) {
    // Bin 1 keeps FWOriver's character, each further bin counts up from it.
    text[7] = static_cast<char>(
        static_cast<uint8_t>(static_cast<uint8_t>(settings.FWOriver[7]) + bin - 1));
  }
  return text;
}

void ReportPortResult(const PortRunContext& context, const settings::MpSettings& settings, int port,
                      FailCode failCode, uint8_t bin, std::string_view fwVersion,
                      std::string_view serialNumber) {
  if (port < 0 || port >= discovery::kPortCount) return;
  const auto index = static_cast<size_t>(port);
  discovery::PortListSink& list = context.list;

  if (failCode != kFailNone) {
    list.SetCell(port, discovery::kColStatus, FailMessage(failCode));
    context.ports.gPortStatus[index].store(discovery::kFailed);
    context.run.failCount.fetch_add(1);
  } else {
    if (settings.ScanRDT != 0) list.SetCell(port, discovery::kColCapacity, "RDT");
    list.SetCell(port, discovery::kColModel,
                 UpToZero(settings.ModelName, sizeof settings.ModelName));
    list.SetCell(port, discovery::kColSerial, serialNumber);
    list.SetCell(port, discovery::kColFwVersion, fwVersion);
    list.SetCell(port, discovery::kColRdtResult,
                 context.run.gRdtPass[index].load() != 0 ? "RDT Pass" : "RDT FAIL");
    list.SetCell(port, discovery::kColStatus, "Pass");
    context.ports.gPortStatus[index].store(discovery::kPassed);
    context.run.passCount.fetch_add(1);
    list.SetCell(port, discovery::kColBin,
                 bin == kNoBin ? std::string("Bad ff") : "Bin " + std::to_string(bin));
  }
  list.SetCell(port, discovery::kColProgress, failCode != kFailNone ? "FAIL %" : "100 %");
  // The done flag comes after the last cell write: the page may end the run
  // (and join this thread) as soon as every flag is set, and a window runs
  // the cell writes on the thread that would then be waiting in that join.
  context.ports.gDeviceInfo[index].done.store(1);
  context.events.PostWorkerDone();
}

}  // namespace qelvar::engine
