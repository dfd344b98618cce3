#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "settings/settings_store.h"

namespace qelvar::settings {
namespace {

TEST(SettingsStore, WorkersSeeWholeRecordsWhileTheUiThreadPublishes) {
  SettingsStore store;
  store.Update([](MpSettings& s) { s.ModelName[0] = '0'; });
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::atomic<int> backwards{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < 4; ++w) {
    workers.emplace_back([&] {
      uint32_t last = 0;
      while (!done.load()) {
        std::shared_ptr<const MpSettings> s = store.Current();
        std::string model = std::to_string(s->DelayBurner);
        if (s->DelayReboot != s->DelayBurner || model != s->ModelName) ++torn;
        if (s->DelayBurner < last) ++backwards;
        last = s->DelayBurner;
      }
    });
  }
  for (uint32_t i = 1; i <= 2000; ++i) {
    store.Update([i](MpSettings& s) {
      s.DelayBurner = i;
      std::string model = std::to_string(i);
      std::memcpy(s.ModelName, model.c_str(), model.size() + 1);
      s.DelayReboot = i;
    });
  }
  done.store(true);
  for (std::thread& t : workers) t.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(backwards.load(), 0);
  EXPECT_EQ(store.Current()->DelayBurner, 2000u);
}

TEST(SettingsStore, ConcurrentUpdatesAreNotLost) {
  SettingsStore store;
  std::vector<std::thread> writers;
  for (int w = 0; w < 2; ++w) {
    writers.emplace_back([&] {
      for (int i = 0; i < 500; ++i) store.Update([](MpSettings& s) { ++s.DelayReboot; });
    });
  }
  for (std::thread& t : writers) t.join();
  EXPECT_EQ(store.Current()->DelayReboot, 1000u);
}

TEST(SettingsStore, PublishWaitsForAnUpdateInProgressInsteadOfBeingUndoneByIt) {
  SettingsStore store;
  std::atomic<bool> published{false};
  std::thread publisher;
  store.Update([&](MpSettings& s) {
    // The whole record is published while this change is being made.
    publisher = std::thread([&] {
      MpSettings whole;
      whole.DelayReboot = 7;
      store.Publish(whole);
      published.store(true);
    });
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (!published.load() && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    s.DelayBurner = 5;
  });
  publisher.join();
  // The record published last is the whole one, not the update's copy of
  // what came before it.
  EXPECT_EQ(store.Current()->DelayReboot, 7u);
  EXPECT_EQ(store.Current()->DelayBurner, 0u);
}

}  // namespace
}  // namespace qelvar::settings
