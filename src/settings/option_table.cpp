#include "settings/option_table.h"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <utility>

#include "settings/flash_catalogue.h"
#include "settings/page_options.h"
#include "settings/profile.h"

namespace qelvar::settings {
namespace {

template <auto Member>
using FieldType = std::remove_cvref_t<decltype(std::declval<MpSettings&>().*Member)>;

template <auto Member>
constexpr OptionField FieldOf() {
  using T = FieldType<Member>;
  if constexpr (std::is_array_v<T>) {
    return OptionField{nullptr, nullptr, [](MpSettings& s) { return std::span<char>(s.*Member); },
                       [](const MpSettings& s) { return std::span<const char>(s.*Member); }};
  } else {
    return OptionField{[](const MpSettings& s) { return static_cast<int64_t>(s.*Member); },
                       [](MpSettings& s, int32_t value) { s.*Member = static_cast<T>(value); },
                       nullptr, nullptr};
  }
}

struct Shown {
  OptionPage page;
  int control;
};
constexpr Shown Mp(int control) {
  return {OptionPage::kMp, control};
}
constexpr Shown Param(int control) {
  return {OptionPage::kParameter, control};
}
constexpr Shown kNotShown{OptionPage::kNone, 0};

struct Change {
  OptionChange change;
  void (*handler)(PageContext&);
};
constexpr Change kReadWhenNeeded{OptionChange::kNothing, nullptr};
constexpr Change kCollected{OptionChange::kCollect, nullptr};
constexpr Change Handled(void (*handler)(PageContext&)) {
  return {OptionChange::kHandler, handler};
}

template <auto Member>
constexpr OptionRow Row(std::string_view section, std::string_view key, OptionKind kind,
                        int32_t fallback, Shown shown, OptionWrite write, Change change) {
  return OptionRow{section,    key,           kind,  fallback,      FieldOf<Member>(),
                   shown.page, shown.control, write, change.change, change.handler};
}

template <auto Member>
constexpr OptionRow Flag(std::string_view section, std::string_view key, Shown shown,
                         OptionWrite write, Change change = kReadWhenNeeded) {
  static_assert(std::is_same_v<FieldType<Member>, uint8_t>);
  return Row<Member>(section, key, OptionKind::kFlag, 0, shown, write, change);
}

template <auto Member>
constexpr OptionRow Choice(std::string_view section, std::string_view key, Shown shown,
                           OptionWrite write, Change change) {
  static_assert(std::is_same_v<FieldType<Member>, uint8_t>);
  return Row<Member>(section, key, OptionKind::kChoice, 0, shown, write, change);
}

template <auto Member>
constexpr OptionRow Index(std::string_view section, std::string_view key, Shown shown,
                          OptionWrite write, Change change) {
  static_assert(std::is_same_v<FieldType<Member>, int32_t>);
  return Row<Member>(section, key, OptionKind::kIndex, 0, shown, write, change);
}

template <auto Member>
constexpr OptionRow Number16(std::string_view section, std::string_view key, int32_t fallback,
                             Shown shown, OptionWrite write) {
  static_assert(std::is_same_v<FieldType<Member>, uint16_t>);
  return Row<Member>(section, key, OptionKind::kNumber16, fallback, shown, write, kReadWhenNeeded);
}

template <auto Member>
constexpr OptionRow Delay(std::string_view section, std::string_view key, OptionWrite write) {
  static_assert(std::is_same_v<FieldType<Member>, uint32_t>);
  return Row<Member>(section, key, OptionKind::kDelay, 0, kNotShown, write, kReadWhenNeeded);
}

template <auto Member>
constexpr OptionRow Text(std::string_view section, std::string_view key, Shown shown,
                         OptionWrite write) {
  static_assert(std::is_array_v<FieldType<Member>>);
  return Row<Member>(section, key, OptionKind::kText, 0, shown, write, kReadWhenNeeded);
}

using S = MpSettings;
constexpr OptionWrite kAtClose = OptionWrite::kAtClose;
constexpr OptionWrite kAtOnce = OptionWrite::kAtOnce;
constexpr OptionWrite kNever = OptionWrite::kNever;

// The parameter page's controls have IDs of their own, apart from the MP page's.
constexpr OptionRow kOptions[] = {
    Index<&S::FlashIndex>("FlashSelect", "FlashIndex", Mp(ctl::kFlashSelect), kAtClose,
                          Handled(&OnFlashSelect)),
    Flag<&S::DownloadBurner>("MPOption", "DownloadBurner", Mp(ctl::kDownloadBurner), kAtClose,
                             Handled(&OnDownloadBurner)),
    Flag<&S::DownloadSysFW>("MPOption", "DownloadSysFW", Mp(ctl::kDownloadSysFW), kAtClose,
                            kCollected),
    Flag<&S::NandErase>("MPOption", "NandErase", Mp(ctl::kNandErase), kAtClose,
                        Handled(&OnNandErase)),
    Choice<&S::NandEraseSelect>("MPOption", "NandEraseSelect", Mp(ctl::kNandEraseSelect), kAtClose,
                                kCollected),
    Flag<&S::NandCalibration>("MPOption", "NandCalibration", Mp(ctl::kNandCalibration), kAtClose,
                              Handled(&OnNandCalibration)),
    Flag<&S::NandEraseAll>("MPOption", "NandEraseAll", Mp(ctl::kNandEraseAll), kAtClose,
                           Handled(&OnEraseAll)),
    Flag<&S::ScanRDT>("MPOption", "ScanRDT", Mp(ctl::kScanRDT), kAtOnce, Handled(&OnRdtScan)),
    Flag<&S::OP7>("MPOption", "OP7", Mp(ctl::kOP7), kAtOnce, Handled(&OnOp7)),
    Choice<&S::SetBin>("Identify", "SetBin", Mp(ctl::kSetBin), kAtClose, kCollected),
    Text<&S::ModelName>("Identify", "ModelName", Mp(ctl::kModelName), kAtClose),
    Text<&S::SN>("Identify", "SN", Mp(ctl::kSN), kAtClose),
    Flag<&S::SNAutoIncrease>("Identify", "SNAutoIncrease", Mp(ctl::kSNAutoIncrease), kAtClose,
                             Handled(&OnAutoInc)),
    Flag<&S::SNFix>("Identify", "SNFix", Mp(ctl::kSNFix), kAtClose, Handled(&OnSnFix)),
    Text<&S::FWVersion>("Identify", "FWVersion", Mp(ctl::kFWVersion), kAtClose),
    Flag<&S::FWVersionUserDefine>("Identify", "FWVersionUserDefine", Mp(ctl::kFWVersionUserDefine),
                                  kAtClose, kCollected),
    Text<&S::FWOriver>("Identify", "FWOriver", kNotShown, kNever),
    // The parameter page's edits, in the order it fills them when it opens.
    Number16<&S::ErrBitSlc>("RDTParam", "ErrBitSlc", 60, Param(ctl::param::kErrBitSlc), kAtOnce),
    Number16<&S::PeCycSlc>("RDTParam", "PeCycSlc", 4, Param(ctl::param::kPeCycSlc), kAtOnce),
    Number16<&S::ErrBitTlc>("RDTParam", "ErrBitTlc", 160, Param(ctl::param::kErrBitTlc), kAtOnce),
    Number16<&S::PeCycTlc>("RDTParam", "PeCycTlc", 4, Param(ctl::param::kPeCycTlc), kAtOnce),
    Number16<&S::MaxRunHours>("RDTParam", "MaxRunHours", 3, Param(ctl::param::kMaxRunHours), kAtOnce),
    Number16<&S::MaxLaterBadLun>("RDTParam", "MaxLaterBadLun", 256, Param(ctl::param::kMaxLaterBadLun), kAtOnce),
    Number16<&S::StartWeru>("RDTParam", "StartWeru", 0, Param(ctl::param::kStartWeru), kAtOnce),
    Number16<&S::EndWeru>("RDTParam", "EndWeru", 0, Param(ctl::param::kEndWeru), kAtOnce),
    Number16<&S::Resv1>("RDTParam", "Resv1", 0, Param(ctl::param::kResv1), kAtOnce),
    Number16<&S::Resv2>("RDTParam", "Resv2", 0, Param(ctl::param::kResv2), kAtOnce),
    Delay<&S::DelayBurner>("DelayTime", "DelayBurner", kAtClose),
    Delay<&S::DelayNandCali>("DelayTime", "DelayNandCali", kAtClose),
    Delay<&S::DelayNandErase>("DelayTime", "DelayNandErase", kAtClose),
    Delay<&S::DelayReboot>("DelayTime", "DelayReboot", kAtClose),
    Flag<&S::FormatEn>("FormatVolume", "FormatEn", Mp(ctl::kFormatEn), kAtClose),
    Text<&S::FileType>("FormatVolume", "FileType", kNotShown, kNever),
    Flag<&S::KeepSN>("Debug", "KeepSN", Mp(ctl::kKeepSN), kAtClose),
    Flag<&S::SpiDisable>("Debug", "SpiDisable", Mp(ctl::kSpiDisable), kAtClose),
    Flag<&S::Skip_RunBad>("Debug", "Skip_RunBad", Mp(ctl::kSkipRunBad), kAtClose),
    // The parameter page's boxes, in the order it sets them when it opens.
    Flag<&S::JumpToFT3>("Debug", "JumpToFT3", Param(ctl::param::kJumpToFT3), kAtOnce),
    Flag<&S::RdtParamEn>("Debug", "RdtParamEn", Param(ctl::param::kRdtParamEnable), kAtOnce),
    Flag<&S::RDTRecordEn>("Debug", "RDTRecordEn", Param(ctl::param::kRdtRecordEn), kAtOnce),
    Flag<&S::PrintBBT>("Debug", "PrintBBT", Param(ctl::param::kPrintBbt), kAtOnce),
    Flag<&S::Tem54>("Debug", "54TEM", Param(ctl::param::kTem54), kAtOnce),
    Flag<&S::BDIPM>("Debug", "BDIPM", Param(ctl::param::kBdipm), kAtOnce),
    Flag<&S::BHIPM>("Debug", "BHIPM", Param(ctl::param::kBhipm), kAtOnce),
};

}  // namespace

std::span<const OptionRow> OptionTable() {
  return kOptions;
}

const OptionRow* FindOption(OptionPage page, int control) {
  for (const OptionRow& row : kOptions) {
    if (row.page == page && row.control == control) return &row;
  }
  return nullptr;
}

int64_t OptionNumber(const OptionRow& row, const MpSettings& settings) {
  return row.field.number ? row.field.number(settings) : 0;
}

std::string_view OptionText(const OptionRow& row, const MpSettings& settings) {
  if (!row.field.constText) return {};
  std::span<const char> field = row.field.constText(settings);
  return std::string_view(field.data(), strnlen(field.data(), field.size()));
}

void SetOptionNumber(const OptionRow& row, MpSettings& settings, int32_t value) {
  if (row.field.setNumber) row.field.setNumber(settings, value);
}

void SetOptionText(const OptionRow& row, MpSettings& settings, std::string_view text) {
  if (!row.field.text) return;
  std::span<char> field = row.field.text(settings);
  const size_t n = std::min(text.size(), field.size() - 1);
  std::memcpy(field.data(), text.data(), n);
  std::memset(field.data() + n, 0, field.size() - n);
}

void ShowOption(const OptionRow& row, const MpSettings& settings, SettingsView& view) {
  switch (row.kind) {
    case OptionKind::kFlag:
      view.SetChecked(row.control, OptionNumber(row, settings) != 0);
      break;
    case OptionKind::kChoice:
    case OptionKind::kIndex:
      view.SetComboSelection(row.control, static_cast<int>(OptionNumber(row, settings)));
      break;
    case OptionKind::kText:
      view.SetEditText(row.control, OptionText(row, settings));
      break;
    case OptionKind::kNumber16:
    case OptionKind::kDelay:
      view.SetEditText(row.control, std::to_string(OptionNumber(row, settings)));
      break;
  }
}

void CollectOption(const OptionRow& row, const SettingsView& view, MpSettings& settings) {
  switch (row.kind) {
    case OptionKind::kFlag:
      SetOptionNumber(row, settings, view.IsChecked(row.control) ? 1 : 0);
      break;
    case OptionKind::kChoice:
    case OptionKind::kIndex:
      SetOptionNumber(row, settings, view.ComboSelection(row.control));
      break;
    case OptionKind::kText:
      SetOptionText(row, settings, view.EditText(row.control));
      break;
    case OptionKind::kNumber16:
    case OptionKind::kDelay:
      SetOptionNumber(row, settings, ParseProfileInt(view.EditText(row.control)));
      break;
  }
}

}  // namespace qelvar::settings
