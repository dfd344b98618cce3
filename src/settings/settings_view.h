// What the settings operations need from the MP page: its controls, known by
// their IDs, and its message boxes. The page implements both; tests use maps.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qelvar::settings {

// Controls of the MP page that the settings load, save and show.
namespace ctl {
inline constexpr int kDownloadBurner = 1007;       // check
inline constexpr int kBurnerFile = 1010;           // edit: burner file name
inline constexpr int kDownloadSysFW = 1026;        // check
inline constexpr int kSysFwFile = 1027;            // edit: firmware file name
inline constexpr int kFlashSelect = 1030;          // combo: the flash catalogue
inline constexpr int kFormatEn = 1031;             // check
inline constexpr int kNandCalibration = 1032;      // check
inline constexpr int kNandErase = 1033;            // check
inline constexpr int kNandEraseSelect = 1034;      // combo
inline constexpr int kFWVersionUserDefine = 1035;  // check
inline constexpr int kNandEraseAll = 1037;         // check
inline constexpr int kSNFix = 1038;                // check
inline constexpr int kKeepSN = 1039;               // check
inline constexpr int kSpiDisable = 1041;           // check
inline constexpr int kSetBin = 1042;               // combo
inline constexpr int kSkipRunBad = 1043;           // check
inline constexpr int kModelName = 1012;            // edit
inline constexpr int kSN = 1015;                   // edit
inline constexpr int kFWVersion = 1017;            // edit
inline constexpr int kSNAutoIncrease = 1021;       // check
inline constexpr int kScanRDT = 1050;              // check
inline constexpr int kOP7 = 1051;                  // check
}  // namespace ctl

class SettingsView {
 public:
  virtual ~SettingsView() = default;

  [[nodiscard]] virtual bool IsChecked(int id) const = 0;
  virtual void SetChecked(int id, bool checked) = 0;

  // -1 when no item is selected.
  [[nodiscard]] virtual int ComboSelection(int id) const = 0;
  // A position outside the item list leaves no item selected.
  virtual void SetComboSelection(int id, int position) = 0;
  [[nodiscard]] virtual int ComboCount(int id) const = 0;
  // Empty for a position with no item.
  [[nodiscard]] virtual std::string ComboItemText(int id, int position) const = 0;
  virtual void AddComboItem(int id, std::string_view text) = 0;

  [[nodiscard]] virtual std::string EditText(int id) const = 0;
  virtual void SetEditText(int id, std::string_view text) = 0;
};

// kNone: a plain box with no icon.
enum class MessageIcon : uint8_t { kWarning, kInformation, kError, kNone };

// Modal message boxes with an OK button.
class MessageSink {
 public:
  virtual ~MessageSink() = default;
  virtual void Show(std::string_view text, std::string_view caption, MessageIcon icon) = 0;
};

// Message boxes held back, to be shown in order later: a change made while
// the option record is held for it must not wait for the operator's OK.
class HeldMessages final : public MessageSink {
 public:
  void Show(std::string_view text, std::string_view caption, MessageIcon icon) override {
    held_.push_back({std::string(text), std::string(caption), icon});
  }
  void ShowTo(MessageSink& sink) {
    for (const Held& m : held_) sink.Show(m.text, m.caption, m.icon);
    held_.clear();
  }

 private:
  struct Held {
    std::string text;
    std::string caption;
    MessageIcon icon;
  };
  std::vector<Held> held_;
};

}  // namespace qelvar::settings
