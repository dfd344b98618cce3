// A PostgreSQL server of the test's own: initdb into a temporary folder,
// pg_ctl start on a unix socket there (as the postgres user when the tests
// run as root, since the server refuses root), removed at the end.
#pragma once

#include <memory>
#include <string>

namespace qelvar::ledger::testing {

class PgServer {
 public:
  // Null with *why when the server binaries are missing or it fails to start.
  static std::unique_ptr<PgServer> Start(std::string* why, bool tcp = false, bool durable = false);
  ~PgServer();
  PgServer(const PgServer&) = delete;
  PgServer& operator=(const PgServer&) = delete;

  [[nodiscard]] std::string Url() const;
  // The folder of its socket, and its port.
  [[nodiscard]] const std::string& SocketDir() const { return dir_; }
  [[nodiscard]] int Port() const { return port_; }
  [[nodiscard]] bool Stop();
  [[nodiscard]] bool Restart();
  // Stops (SIGSTOP) or continues (SIGCONT) the server and every process of
  // it, as a frozen host or a dead link looks to a client: connections stay
  // open and nothing answers.
  [[nodiscard]] bool Freeze();
  [[nodiscard]] bool Thaw();
  // Runs SQL through psql; its output (tuples only, unaligned).
  [[nodiscard]] std::string Psql(const std::string& sql) const;

 private:
  PgServer() = default;
  std::string AsOwner(const std::string& command) const;
  bool StartServer();
  bool SignalAll(int signal) const;

  std::string bin_;
  std::string dir_;
  int port_ = 0;
  bool tcp_ = false;
  bool durable_ = false;
  bool running_ = false;
};

// Skips the test (outside CI) or fails it (QELVAR_CI=1) when no server.
#define QELVAR_NEED_PG(server)                                                        \
  do {                                                                                \
    std::string why_;                                                                 \
    server = ::qelvar::ledger::testing::PgServer::Start(&why_);                       \
    if (!server) {                                                                    \
      const char* ci_ = std::getenv("QELVAR_CI");                                     \
      if (ci_ && std::string(ci_) == "1") FAIL() << "no PostgreSQL server: " << why_; \
      GTEST_SKIP() << "no PostgreSQL server (" << why_ << "): install postgresql";    \
    }                                                                                 \
  } while (0)

}  // namespace qelvar::ledger::testing
