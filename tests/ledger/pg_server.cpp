#include "pg_server.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace qelvar::ledger::testing {
namespace {

namespace fs = std::filesystem;

std::string FindBin() {
  std::vector<fs::path> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", ec)) {
    if (fs::exists(entry.path() / "bin" / "initdb")) found.push_back(entry.path() / "bin");
  }
  if (found.empty()) return {};
  std::sort(found.begin(), found.end());
  return found.back().string();
}

int FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  int port = 0;
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  if (fd >= 0) ::close(fd);
  return port > 0 ? port : 20000 + ::getpid() % 20000;
}

std::string Capture(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  ::pclose(pipe);
  return out;
}

}  // namespace

std::string PgServer::AsOwner(const std::string& command) const {
  if (::geteuid() != 0) return command;
  return "runuser -u postgres -- " + command;
}

std::unique_ptr<PgServer> PgServer::Start(std::string* why, bool tcp, bool durable) {
  std::unique_ptr<PgServer> server(new PgServer());
  server->bin_ = FindBin();
  if (server->bin_.empty()) {
    *why = "no initdb under /usr/lib/postgresql";
    return nullptr;
  }
  char pattern[] = "/tmp/qelvar-pg-XXXXXX";
  if (!::mkdtemp(pattern)) {
    *why = "cannot make a temporary folder";
    return nullptr;
  }
  server->dir_ = pattern;
  server->tcp_ = tcp;
  server->durable_ = durable;
  server->port_ = FreePort();
  if (::geteuid() == 0 && std::system(("chown postgres: " + server->dir_).c_str()) != 0) {
    *why = "cannot hand the folder to the postgres user";
    return nullptr;
  }
  const std::string init = server->AsOwner(server->bin_ + "/initdb -D " + server->dir_ +
                                           "/data -A trust -U postgres -E UTF8 --no-sync > " +
                                           server->dir_ + "/initdb.log 2>&1");
  if (std::system(init.c_str()) != 0) {
    *why = "initdb failed (see " + server->dir_ + "/initdb.log)";
    return nullptr;
  }
  if (!server->StartServer()) {
    *why = "the server did not start (see " + server->dir_ + "/server.log)";
    return nullptr;
  }
  return server;
}

bool PgServer::StartServer() {
  std::string options = "-k " + dir_ + " -p " + std::to_string(port_) +
                        " -c listen_addresses=" + (tcp_ ? "127.0.0.1" : "''") +
                        " -c max_connections=60";
  // fsync off: a test server need not survive a power cut; commits still
  // reach its log before they return, so a stopped server keeps them.
  if (!durable_) options += " -c fsync=off";
  const std::string command =
      AsOwner(bin_ + "/pg_ctl -D " + dir_ + "/data -l " + dir_ + "/server.log -w -t 30 -o \"" +
              options + "\" start > /dev/null");
  running_ = std::system(command.c_str()) == 0;
  return running_;
}

bool PgServer::Stop() {
  if (!running_) return true;
  const std::string command =
      AsOwner(bin_ + "/pg_ctl -D " + dir_ + "/data -m immediate -w -t 30 stop > /dev/null 2>&1");
  running_ = std::system(command.c_str()) != 0;
  return !running_;
}

bool PgServer::Restart() {
  return StartServer();
}

bool PgServer::SignalAll(int signal) const {
  // The postmaster's ID is the first line of its pid file; its backends are
  // the processes whose parent it is.
  std::ifstream pidFile(dir_ + "/data/postmaster.pid");
  pid_t postmaster = 0;
  if (!(pidFile >> postmaster) || postmaster <= 0) return false;
  std::vector<pid_t> pids{postmaster};
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    std::getline(stat, line);
    const size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 1));
    char state = 0;
    pid_t parent = 0;
    if (rest >> state >> parent && parent == postmaster) pids.push_back(std::stoi(name));
  }
  // A backend may end between the look and the signal.
  bool ok = ::kill(postmaster, signal) == 0;
  for (size_t i = 1; i < pids.size(); ++i) {
    if (::kill(pids[i], signal) != 0 && errno != ESRCH) ok = false;
  }
  return ok;
}

bool PgServer::Freeze() {
  return running_ && SignalAll(SIGSTOP);
}

bool PgServer::Thaw() {
  return running_ && SignalAll(SIGCONT);
}

PgServer::~PgServer() {
  (void)Thaw();
  (void)Stop();
  std::error_code ec;
  if (!dir_.empty()) fs::remove_all(dir_, ec);
}

std::string PgServer::Url() const {
  if (tcp_) {
    return "postgresql://postgres@127.0.0.1:" + std::to_string(port_) + "/postgres";
  }
  return "postgresql:///postgres?host=" + dir_ + "&port=" + std::to_string(port_) +
         "&user=postgres";
}

std::string PgServer::Psql(const std::string& sql) const {
  return Capture(bin_ + "/psql -X -q -t -A -h " + dir_ + " -p " + std::to_string(port_) +
                 " -U postgres -d postgres -c \"" + sql + "\" 2>&1");
}

}  // namespace qelvar::ledger::testing
