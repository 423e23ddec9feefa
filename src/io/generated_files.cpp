// is_generated_file, by the type of the file system the open file is on.
#include "io/generated_files.h"

#include <cerrno>
#include <cstdint>
#include <sys/sysmacros.h>
#include <sys/vfs.h>

namespace marblewick {
namespace {

// The pseudo file systems whose files are generated, by the type number
// statfs reports (the values <linux/magic.h> names). tmpfs, ramfs and
// hugetlbfs hold files that were written like any other and are not here;
// neither are devpts, pipefs or sockfs, whose entries are no regular files
// and are refused as such already.
constexpr std::uint32_t GENERATED_FILE_SYSTEMS[] = {
    0x9fa0,      // proc
    0x62656572,  // sysfs
    0x64626720,  // debugfs
    0x74726163,  // tracefs
    0x73636673,  // securityfs
    0xf97cff8c,  // selinuxfs
    0x43415d53,  // smackfs
    0x0027e0eb,  // cgroup
    0x63677270,  // cgroup2
    0x62656570,  // configfs
    0xcafe4a11,  // bpf
    0xde5e81e4,  // efivarfs
    0x6165676c,  // pstore
    0x42494e4d,  // binfmt_misc
    0x6e736673,  // nsfs
    0x65735543,  // fusectl
    0x19800202,  // mqueue
};

}  // namespace

bool is_generated_file(int fd, const struct stat& status) {
  // These file systems, like every one not stored on a block device, have
  // device numbers of major 0. Files on disks (ext4, xfs and the like) are
  // thus told apart without a second system call.
  if (major(status.st_dev) != 0) return false;
  struct statfs file_system{};
  int result;
  do {
    result = ::fstatfs(fd, &file_system);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return false;
  // The type is a word whose width differs between platforms; the numbers
  // themselves are 32 bits wide everywhere.
  const auto type = static_cast<std::uint32_t>(file_system.f_type);
  for (std::uint32_t generated : GENERATED_FILE_SYSTEMS) {
    if (type == generated) return true;
  }
  return false;
}

}  // namespace marblewick
