#include "platform/file_status.h"

#include <sys/stat.h>

#include <string>

namespace tmb::platform {

uint16_t WindowsModeWord(mode_t mode) {
  uint16_t word = 0;
  if (S_ISDIR(mode)) {
    word = kModeDirectory;
  } else if (S_ISREG(mode)) {
    word = kModeRegular;
  } else if (S_ISCHR(mode) || S_ISBLK(mode)) {
    word = kModeCharDevice;
  } else if (S_ISFIFO(mode)) {
    word = kModePipe;
  }
  uint16_t owner = 0;
  if ((mode & S_IRUSR) != 0) owner |= kModeRead;
  if ((mode & S_IWUSR) != 0) owner |= kModeWrite;
  if ((mode & S_IXUSR) != 0) owner |= kModeExecute;
  return static_cast<uint16_t>(word | owner | (owner >> 3) | (owner >> 6));
}

int StatFile(const char* path, uint16_t* mode, const PathRoots* roots) {
  std::string confined;
  if (roots != nullptr) {
    confined = roots->Confine(path);
    if (confined.empty()) return -1;
    path = confined.c_str();
  }
  struct stat st;
  if (stat(path, &st) != 0) return -1;
  *mode = WindowsModeWord(st.st_mode);
  return 0;
}

}  // namespace tmb::platform
