// is_generated_file: files whose content the kernel makes up as it is read.
#pragma once

#include <sys/stat.h>

namespace marblewick {

// True when the open file `fd` lives on one of the kernel's own pseudo file
// systems (/proc, /sys, debugfs, cgroups and the like). Their files call
// themselves regular, but their reported size says nothing (0 for every file
// under /proc, 4096 for every one under /sys), their content is made on each
// read and may differ from one read to the next, and some are endless in
// practice: /proc/self/pagemap gives 8 bytes for each page of the address
// space, about 256 GiB. `status` is what fstat said of it. False when the
// system cannot say.
bool is_generated_file(int fd, const struct stat& status);

}  // namespace marblewick
