// SPDX-License-Identifier: MIT
#include "checks.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "command_line.h"
#include "file_bytes.h"
#include "names.h"
#include "utf16.h"

namespace {

bool OutputError(const std::string &message) {
  std::fprintf(stderr, "gpscapture: %s\n", message.c_str());
  return false;
}

} // namespace

bool CheckOutput(const Settings &settings) {
  struct stat status;
  if (!settings.keepDir.empty()) {
    const std::string &dir = settings.keepDir;
    if (stat(dir.c_str(), &status) != 0 && mkdir(dir.c_str(), 0777) != 0) {
      return OutputError("cannot make the folder " + dir + ": " +
                         ErrorText(errno));
    }
    if (stat(dir.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
      return OutputError("--keep " + dir + " is not a folder");
    }
    if (access(dir.c_str(), W_OK | X_OK) != 0) {
      return OutputError("cannot write in " + dir + ": " + ErrorText(errno));
    }
    // Blocks of an earlier run would be replaced one by one, and those past
    // this run's last left to pass for its own.
    std::string first = CapturePath(settings, 1);
    if (!settings.force && lstat(first.c_str(), &status) == 0) {
      return OutputError(dir + " holds blocks already (" + first +
                         "): give --force to replace them, or another folder");
    }
    return true;
  }
  const std::string &out = settings.out;
  size_t slash = out.rfind('/');
  std::string dir = slash == std::string::npos ? "."
                    : slash == 0               ? "/"
                                               : out.substr(0, slash);
  if (stat(dir.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
    return OutputError("no folder " + dir + " for " + out);
  }
  if (access(dir.c_str(), W_OK | X_OK) != 0) {
    return OutputError("cannot write in " + dir + ": " + ErrorText(errno));
  }
  if (lstat(out.c_str(), &status) == 0) {
    if (!S_ISREG(status.st_mode)) {
      return OutputError(out + " is not a regular file");
    }
    if (access(out.c_str(), W_OK) != 0) {
      return OutputError(out + " is read-only");
    }
  }
  return true;
}

namespace {

// The process holding the device, as fuser finds it, or "".
std::string Holder(dev_t device) {
  DIR *processes = opendir("/proc");
  std::string holder;
  while (dirent *process = processes ? readdir(processes) : nullptr) {
    std::string pid = process->d_name;
    if (pid.find_first_not_of("0123456789") != std::string::npos ||
        pid == std::to_string(getpid())) {
      continue;
    }
    std::string fds = "/proc/" + pid + "/fd";
    DIR *descriptors = opendir(fds.c_str());
    while (dirent *fd = descriptors ? readdir(descriptors) : nullptr) {
      struct stat status;
      if (stat((fds + "/" + fd->d_name).c_str(), &status) == 0 &&
          S_ISCHR(status.st_mode) && status.st_rdev == device) {
        std::string name = ReadWhole("/proc/" + pid + "/comm");
        holder =
            "process " + pid + " (" + name.substr(0, name.find('\n')) + ")";
        break;
      }
    }
    if (descriptors) {
      closedir(descriptors);
    }
    if (!holder.empty()) {
      break;
    }
  }
  if (processes) {
    closedir(processes);
  }
  return holder;
}

bool PortError(const std::string &port, const std::string &path,
               const std::string &problem) {
  std::string name = port == path ? port : port + " (" + path + " here)";
  std::fprintf(stderr, "gpscapture: %s: %s\n", name.c_str(), problem.c_str());
  return false;
}

bool PortInUse(const std::string &port, const std::string &path, dev_t device) {
  std::string holder = Holder(device);
  return PortError(
      port, path, "in use by " + (holder.empty() ? "another process" : holder));
}

} // namespace

// The library reports nothing about the port, so look at it first.
bool CheckPort(const std::string &port) {
  // The library's own rule for COM names, so the tool never disagrees.
  char mapped[kPathBytes];
  if (!PosixPathFromName(Utf16(port).c_str(), mapped, sizeof mapped)) {
    std::fprintf(stderr,
                 "gpscapture: %s names no port: COM1 to COM256 are "
                 "/dev/ttyS0 to /dev/ttyS255 here\n",
                 port.c_str());
    return false;
  }
  const std::string path = mapped;
  struct stat status;
  if (stat(path.c_str(), &status) != 0) {
    return PortError(port, path,
                     errno == ENOENT ? "no such device" : ErrorText(errno));
  }
  if (S_ISDIR(status.st_mode)) {
    return PortError(port, path, "a directory, not a serial port");
  }
  if (S_ISREG(status.st_mode)) {
    return PortError(port, path, "a regular file, not a serial port");
  }
  if (!S_ISCHR(status.st_mode)) {
    return PortError(port, path, "not a device");
  }
  if (status.st_rdev == makedev(1, 3)) {
    return PortError(port, path, "the null device, not a serial port");
  }
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == EBUSY) {
      return PortInUse(port, path, status.st_rdev);
    }
    return PortError(port, path,
                     errno == EACCES ? "permission denied (is this user in "
                                       "the dialout group?)"
                                     : ErrorText(errno));
  }
  bool terminal = isatty(fd) != 0;
  bool free = terminal && flock(fd, LOCK_EX | LOCK_NB) == 0;
  close(fd);
  if (!terminal) {
    return PortError(port, path, "a device, but not a serial port");
  }
  if (!free) {
    return PortInUse(port, path, status.st_rdev);
  }
  return true;
}
