// The option record, the only one: the pages and the run control change it
// here, each change touching only its own fields, and a worker takes the
// current copy at each step of its flow, so an option changed during a run
// reaches the steps not yet reached, and no worker ever sees a record half
// changed.
#pragma once

#include <memory>
#include <mutex>

#include "settings/mp_settings.h"

namespace qelvar::settings {

class SettingsStore {
 public:
  SettingsStore() : current_(std::make_shared<const MpSettings>()) {}

  // The record as last published; it never changes under the holder.
  [[nodiscard]] std::shared_ptr<const MpSettings> Current() const {
    std::lock_guard lock(mutex_);
    return current_;
  }

  // Replaces the published record as a whole. A change through Update, not a
  // second way in: an Update running meanwhile is never undone by it.
  void Publish(const MpSettings& settings) {
    Update([&settings](MpSettings& s) { s = settings; });
  }

  // Copy, change, publish: the one way a record is written. Changes made here
  // never overwrite each other.
  template <typename Change>
  void Update(Change&& change) {
    std::lock_guard writer(writer_);
    auto next = std::make_shared<MpSettings>(*Current());
    change(*next);
    std::shared_ptr<const MpSettings> published = std::move(next);
    std::lock_guard lock(mutex_);
    current_.swap(published);
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const MpSettings> current_;
  std::mutex writer_;
};

}  // namespace qelvar::settings
