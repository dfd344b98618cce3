// What the settings operations need from the MP page: its controls, known by
// their IDs, and its message boxes. The page implements both; tests use maps.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "settings/control_ids.h"

namespace qelvar::settings {

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
