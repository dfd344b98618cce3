// The installed programs: where their station lives, and how they say what
// keeps a user from the drives and the station folder.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "app/station_access.h"
#include "settings/station_paths.h"
#include "support/temp_folder.h"

namespace qelvar {
namespace {

namespace fs = std::filesystem;
using app::CapabilityFacts;
using app::FindCapabilityProblem;

constexpr uint64_t kRawio = uint64_t{1} << app::kCapSysRawio;
constexpr uint64_t kAdmin = uint64_t{1} << app::kCapSysAdmin;

using TempDir = qelvar::testing::TempFolder;

TEST(DefaultStationDir, AnInstalledProgramUsesTheInstalledStationFolder) {
  EXPECT_EQ(settings::DefaultStationDir("/usr/bin", "/usr/bin", "/var/lib/qelvar/station"),
            "/var/lib/qelvar/station");
  EXPECT_EQ(settings::DefaultStationDir("/usr/bin/", "/usr/bin", "/var/lib/qelvar/station"),
            "/var/lib/qelvar/station");
}

TEST(DefaultStationDir, AProgramOutsideTheInstallFolderKeepsItsOwnFolder) {
  EXPECT_EQ(settings::DefaultStationDir("/work/build/default/src/app", "/usr/bin",
                                        "/var/lib/qelvar/station"),
            "/work/build/default/src/app");
  // A folder whose name merely starts like the install folder is another one.
  EXPECT_EQ(settings::DefaultStationDir("/usr/bin2", "/usr/bin", "/var/lib/qelvar/station"),
            "/usr/bin2");
  EXPECT_EQ(settings::DefaultStationDir("/usr/bin", "", ""), "/usr/bin");
}

TEST(DefaultStationDir, AFolderReachedThroughALinkIsTheInstallFolder) {
  // Merged /usr: /bin is a link to /usr/bin, and the program's own path is
  // resolved, so either spelling of the install folder must match.
  TempDir t;
  fs::create_directories(t.path() / "usr/bin");
  fs::create_directory_symlink("usr/bin", t.path() / "bin");
  const std::string real = (t.path() / "usr/bin").string();
  const std::string link = (t.path() / "bin").string();
  EXPECT_EQ(settings::DefaultStationDir(real, link, "/var/lib/qelvar/station"),
            "/var/lib/qelvar/station");
  EXPECT_EQ(settings::DefaultStationDir(link, real, "/var/lib/qelvar/station"),
            "/var/lib/qelvar/station");
}

TEST(DefaultStationDir, TheTestProgramFromItsBuildFolderKeepsItsOwnFolder) {
  // The build-folder run: "beside the executable".
  settings::StationPaths p = settings::MakeStationPaths();
  EXPECT_TRUE(fs::is_regular_file(p.gExeDir + "/test_installed_station")) << p.gExeDir;
}

TEST(Capabilities, TheEffectiveSetIsReadFromTheStatusText) {
  const std::string status =
      "Name:\tqelvar-cli\nCapInh:\t0000000000000000\nCapPrm:\t0000000000220000\n"
      "CapEff:\t0000000000220000\nNoNewPrivs:\t0\n";
  EXPECT_EQ(app::EffectiveCapabilities(status), kRawio | kAdmin);
  EXPECT_FALSE(app::NoNewPrivs(status));
  EXPECT_TRUE(app::NoNewPrivs("CapEff:\t0000000000000000\nNoNewPrivs:\t1\n"));
  EXPECT_EQ(app::EffectiveCapabilities("CapEff:\t000001fffeffffff"), 0x000001fffeffffffu);
  // "CapEffX" is another key; no line at all, or digits that are not hex,
  // give nothing rather than a wrong set.
  EXPECT_EQ(app::EffectiveCapabilities("CapEffX:\t1\n"), std::nullopt);
  EXPECT_EQ(app::EffectiveCapabilities("CapEff:\t00000000zz\n"), std::nullopt);
  EXPECT_EQ(app::EffectiveCapabilities("CapEff:\t00000000000000000\n"), std::nullopt);
}

TEST(Capabilities, BothCapabilitiesMeanNothingToSay) {
  CapabilityFacts facts{"/usr/bin/qelvar-cli", false, kRawio | kAdmin, true, false};
  EXPECT_TRUE(FindCapabilityProblem(facts).text.empty());
  facts.effective = ~uint64_t{0};  // root
  EXPECT_TRUE(FindCapabilityProblem(facts).text.empty());
}

TEST(Capabilities, AMissingRawioStopsTheProgramAndAMissingAdminOnlyWarns) {
  CapabilityFacts facts{"/usr/bin/qelvar-cli", false, kAdmin, true, false};
  app::CapabilityProblem rawio = FindCapabilityProblem(facts);
  EXPECT_TRUE(rawio.fatal);
  EXPECT_NE(rawio.text.find("CAP_SYS_RAWIO"), std::string::npos) << rawio.text;
  EXPECT_EQ(rawio.text.find("CAP_SYS_ADMIN"), std::string::npos) << rawio.text;

  facts.effective = kRawio;
  app::CapabilityProblem admin = FindCapabilityProblem(facts);
  EXPECT_FALSE(admin.fatal);
  EXPECT_NE(admin.text.find("CAP_SYS_ADMIN"), std::string::npos) << admin.text;
  EXPECT_NE(admin.text.find("format"), std::string::npos) << admin.text;
}

TEST(Capabilities, TheMessageSaysWhyTheCapabilitiesAreMissing) {
  // A copy, or a file system that dropped them: the file carries none.
  CapabilityFacts dropped{"/opt/qelvar-cli", false, 0, false, false};
  std::string text = FindCapabilityProblem(dropped).text;
  EXPECT_NE(text.find("carries no file capabilities"), std::string::npos) << text;
  EXPECT_NE(text.find("setcap cap_sys_rawio,cap_sys_admin+ep /opt/qelvar-cli"), std::string::npos)
      << text;
  // The file has them but the kernel did not grant them.
  CapabilityFacts nosuid{"/usr/bin/qelvar-cli", false, 0, true, false};
  text = FindCapabilityProblem(nosuid).text;
  EXPECT_NE(text.find("nosuid"), std::string::npos) << text;
  CapabilityFacts noNewPrivs{"/usr/bin/qelvar-cli", false, 0, true, true};
  text = FindCapabilityProblem(noNewPrivs).text;
  EXPECT_NE(text.find("no_new_privs"), std::string::npos) << text;
}

// Runs `check` as an unprivileged user (nobody) when this test runs as
// root, so file permissions count; returns its text. The tests' files deny
// their owner too, so the check means the same for any user.
std::string AsUnprivilegedUser(const std::function<std::string()>& check) {
  int fds[2];
  if (::pipe(fds) != 0) return "pipe failed";
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    if (::geteuid() == 0) {
      if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
          ::setresuid(65534, 65534, 65534) != 0) {
        ::_exit(3);
      }
    }
    std::string text = check();
    ssize_t written = ::write(fds[1], text.data(), text.size());
    ::_exit(written == static_cast<ssize_t>(text.size()) ? 0 : 4);
  }
  ::close(fds[1]);
  std::string text;
  char buffer[512];
  ssize_t n = 0;
  while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0)
    text.append(buffer, static_cast<size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child failed";
  return text;
}

TEST(StationAccess, AFolderTheUserCannotWriteIsNamed) {
  TempDir t;
  // Nobody may write it, its owner included.
  fs::permissions(t.path(), fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                fs::perms::group_exec | fs::perms::others_read |
                                fs::perms::others_exec);
  const std::string folder = t.path().string();
  std::string text = AsUnprivilegedUser([&] { return app::StationFolderProblem(folder); });
  EXPECT_NE(text.find("cannot write the station folder " + folder), std::string::npos) << text;
  EXPECT_NE(text.find("--dir"), std::string::npos) << text;

  fs::permissions(t.path(), fs::perms::all);
  EXPECT_EQ(AsUnprivilegedUser([&] { return app::StationFolderProblem(folder); }), "");
  // A missing folder is a setup error of its own, said elsewhere.
  EXPECT_EQ(app::StationFolderProblem(folder + "/none"), "");
}

TEST(StationAccess, OnlyTheDisksBehindUsbBridgesAreCheckedAndNamed) {
  TempDir t;
  fs::permissions(t.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
  const fs::path sys = t.path() / "sys";
  const fs::path dev = t.path() / "dev";
  fs::create_directories(sys / "block");
  fs::create_directories(dev);
  auto disk = [&](const std::string& name, const std::string& devicePath) {
    fs::create_directories(sys / ("devices/" + devicePath + "/block/" + name));
    fs::create_directory_symlink("../devices/" + devicePath + "/block/" + name,
                                 sys / "block" / name);
    std::ofstream(dev / name).put('x');
    // Nobody may open it, its owner included (root runs the check as nobody).
    fs::permissions(dev / name, fs::perms::none);
  };
  disk("vda", "pci0000:00/0000:00:05.0/virtio1");  // the PC's own disk: not a station drive
  disk("sdb", "pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host0/target0:0:0/0:0:0:0");
  disk("sdc", "pci0000:00/0000:00:14.0/usb2/2-2/2-2:1.0/host1/target1:0:0/1:0:0:0");
  fs::permissions(dev / "sdc", fs::perms::all);  // what the udev rule's group access gives

  std::string text =
      AsUnprivilegedUser([&] { return app::DriveAccessProblem(sys.string(), dev.string()); });
  EXPECT_NE(text.find("(" + (dev / "sdb").string() + ")"), std::string::npos) << text;
  EXPECT_EQ(text.find("vda"), std::string::npos) << text;
  EXPECT_EQ(text.find("sdc"), std::string::npos) << text;
  EXPECT_NE(text.find("group qelvar"), std::string::npos) << text;

  fs::permissions(dev / "sdb", fs::perms::all);
  EXPECT_EQ(AsUnprivilegedUser([&] { return app::DriveAccessProblem(sys.string(), dev.string()); }),
            "");
}

}  // namespace
}  // namespace qelvar
