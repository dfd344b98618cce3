#include "app/run_messages.h"

#include <cstdio>
#include <string>

namespace qelvar::app {

void SayWaiting(size_t running) {
  std::fprintf(stderr,
               "Waiting for %zu port(s) to finish... (press Ctrl-C again to quit at once)\n",
               running);
  std::fflush(stderr);
}

void SayAlreadyInRomMode(const std::vector<int>& ports) {
  if (ports.empty()) return;
  std::string names;
  for (int p : ports) names += (names.empty() ? "" : ", ") + std::to_string(p + 1);
  std::fprintf(stderr, "qelvar-cli: port(s) %s are already in ROM mode\n", names.c_str());
  std::fflush(stderr);
}

void SayQuitAtOnce(const std::vector<int>& running) {
  std::string ports;
  for (int p : running) ports += (ports.empty() ? "" : ", ") + std::to_string(p);
  if (ports.empty()) {
    std::fprintf(stderr, "qelvar-cli: quit at once; no port was in the middle of its flow\n");
  } else {
    std::fprintf(stderr,
                 "qelvar-cli: warning: quit at once; port(s) %s were left in the middle of "
                 "their flow: run them again\n",
                 ports.c_str());
  }
  std::fflush(stdout);
  std::fflush(stderr);
}

void SayKept(size_t kept) {
  if (kept == 0) return;
  std::fprintf(stderr,
               "qelvar-cli: %zu record(s) not yet written were kept in the station folder; "
               "qelvar-cli ledger sync pushes them to the shared ledger\n",
               kept);
  std::fflush(stderr);
}

void SayLeftInRomMode(const std::vector<int>& ports) {
  if (ports.empty()) {
    std::fprintf(stderr, "qelvar-cli: stopped before every drive was started\n");
    return;
  }
  std::string names;
  for (int p : ports) names += (names.empty() ? "" : ", ") + std::to_string(p + 1);
  std::fprintf(stderr,
               "qelvar-cli: stopped during the Start; port(s) %s were left in ROM mode without "
               "being started: run them again\n",
               names.c_str());
}

}  // namespace qelvar::app
