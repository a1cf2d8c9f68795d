// File status with the mode word of the Windows C runtime's stat: the type
// bits 0x4000 directory, 0x8000 regular file, 0x2000 character device (block
// devices too), 0x1000 pipe; the permission bits 0x100 read, 0x80 write and
// 0x40 execute of the owner, repeated for group (>> 3) and others (>> 6) as
// that runtime repeats them. Other file types carry no type bit.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "platform/path_roots.h"

namespace tmb::platform {

constexpr uint16_t kModeDirectory = 0x4000;
constexpr uint16_t kModeRegular = 0x8000;
constexpr uint16_t kModeCharDevice = 0x2000;
constexpr uint16_t kModePipe = 0x1000;
constexpr uint16_t kModeRead = 0x0100;
constexpr uint16_t kModeWrite = 0x0080;
constexpr uint16_t kModeExecute = 0x0040;

// The mode word for a POSIX st_mode.
uint16_t WindowsModeWord(mode_t mode);

// stat on `path` (following links): 0 with *mode set, or -1; with `roots`,
// also -1 for a path that leads outside them.
int StatFile(const char* path, uint16_t* mode, const PathRoots* roots = nullptr);

}  // namespace tmb::platform
