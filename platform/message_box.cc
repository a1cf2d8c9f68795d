#include "platform/message_box.h"

#include <string>

#include "platform/debug_output.h"

namespace tmb::platform {

namespace {

constexpr int kIdOk = 1;
// What the Windows box shows in its title bar when the caller gives none.
constexpr char kDefaultCaption[] = "Error";

}  // namespace

int MessageBox(const char* text, const char* caption, unsigned /*style*/) {
  std::string line = caption != nullptr ? caption : kDefaultCaption;
  line += ": ";
  if (text != nullptr) line += text;
  if (line.back() != '\n') line += '\n';
  // Built whole first, so the box is a single write to standard error.
  OutputDebugText(line.c_str());
  return kIdOk;
}

}  // namespace tmb::platform
