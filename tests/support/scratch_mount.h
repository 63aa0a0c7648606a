// A small tmpfs mounted for one test (full-disk and read-only cases). Mounting needs the
// right to mount; where that is missing the test is skipped and says why.
#pragma once
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace vt {

class ScratchMount {
 public:
  // sizeBytes is rounded up to whole pages by the kernel.
  explicit ScratchMount(size_t sizeBytes) {
    char tmpl[] = "/tmp/vorn-mount-XXXXXX";
    if (!::mkdtemp(tmpl)) {
      why_ = std::strerror(errno);
      return;
    }
    dir_ = tmpl;
    std::string opts = "size=" + std::to_string(sizeBytes) + ",mode=0755";
    if (::mount("tmpfs", dir_.c_str(), "tmpfs", 0, opts.c_str()) != 0) {
      why_ = std::string("cannot mount a tmpfs here (") + std::strerror(errno) + ")";
      return;
    }
    mounted_ = true;
  }
  ~ScratchMount() {
    if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
    if (!dir_.empty()) ::rmdir(dir_.c_str());
  }
  ScratchMount(const ScratchMount&) = delete;
  ScratchMount& operator=(const ScratchMount&) = delete;

  bool ok() const { return mounted_; }
  const std::string& why() const { return why_; }
  std::string path() const { return dir_ + "/"; }
  // Makes the mount read-only (or writable again).
  bool SetReadOnly(bool ro) {
    unsigned long flags = MS_REMOUNT | (ro ? MS_RDONLY : 0);
    return ::mount("tmpfs", dir_.c_str(), "tmpfs", flags, nullptr) == 0;
  }

 private:
  std::string dir_;
  std::string why_;
  bool mounted_ = false;
};

}  // namespace vt

// Skips the current test when the mount could not be made.
#define VORN_REQUIRE_MOUNT(m) \
  if (!(m).ok()) GTEST_SKIP() << "skipped: " << (m).why()
