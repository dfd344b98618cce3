// Runs as root in the kernel check's guest: for each set of capabilities, a
// child that has become an unprivileged user tries the station's disk
// operations on every disk named: SG_IO ATA PASS-THROUGH IDENTIFY (the vendor
// commands' route) and the format's O_EXCL open, sector write and BLKRRPART.
// One line per operation: "<caps> <disk> <operation> ok|<error>".
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <scsi/sg.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

static int set_caps(unsigned mask) {
  struct __user_cap_header_struct h = {_LINUX_CAPABILITY_VERSION_3, 0};
  struct __user_cap_data_struct d[2] = {{0}};
  d[0].effective = d[0].permitted = mask;
  return (int)syscall(SYS_capset, &h, d);
}

static void report(const char* caps, const char* dev, const char* op, int ok) {
  printf("%s %s %s %s\n", caps, dev, op, ok ? "ok" : strerror(errno));
}

static void try_disk(const char* caps, const char* dev) {
  int fd = open(dev, O_RDONLY | O_NONBLOCK);
  report(caps, dev, "open-read", fd >= 0);
  if (fd >= 0) {
    // IDENTIFY DEVICE, PIO data-in, 512 bytes; a bridge that does not know
    // ATA PASS-THROUGH still answers once the kernel let the request through.
    unsigned char cdb[16] = {0x85, 4 << 1, 0x2e, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0xec, 0};
    unsigned char data[512] = {0}, sense[32] = {0};
    sg_io_hdr_t io;
    memset(&io, 0, sizeof io);
    io.interface_id = 'S';
    io.cmd_len = sizeof cdb;
    io.cmdp = cdb;
    io.mx_sb_len = sizeof sense;
    io.sbp = sense;
    io.dxfer_direction = SG_DXFER_FROM_DEV;
    io.dxfer_len = sizeof data;
    io.dxferp = data;
    io.timeout = 10000;
    report(caps, dev, "sg_io", ioctl(fd, SG_IO, &io) == 0);
    close(fd);
  }
  fd = open(dev, O_RDWR | O_EXCL | O_CLOEXEC);
  report(caps, dev, "open-excl", fd >= 0);
  if (fd < 0) return;
  unsigned char sector[512] = {0};
  sector[510] = 0x55;
  sector[511] = 0xaa;
  report(caps, dev, "pwrite", pwrite(fd, sector, sizeof sector, 0) == (ssize_t)sizeof sector);
  report(caps, dev, "blkrrpart", ioctl(fd, BLKRRPART) == 0);
  close(fd);
}

int main(int argc, char** argv) {
  static const struct {
    const char* name;
    unsigned mask;
  } sets[] = {
      {"none", 0},
      {"rawio", 1u << CAP_SYS_RAWIO},
      {"admin", 1u << CAP_SYS_ADMIN},
      {"rawio+admin", (1u << CAP_SYS_RAWIO) | (1u << CAP_SYS_ADMIN)},
  };
  for (unsigned s = 0; s < sizeof sets / sizeof sets[0]; s++) {
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
      // Keep the permitted set across the change of user, then keep only
      // the capabilities under test.
      if (prctl(PR_SET_KEEPCAPS, 1) != 0 || setresgid(65534, 65534, 65534) != 0 ||
          setgroups(0, NULL) != 0 || setresuid(65534, 65534, 65534) != 0 ||
          set_caps(sets[s].mask) != 0) {
        printf("%s - setup %s\n", sets[s].name, strerror(errno));
        fflush(stdout);
        _exit(1);
      }
      for (int i = 1; i < argc; i++) try_disk(sets[s].name, argv[i]);
      fflush(stdout);
      _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
  }
  return 0;
}
