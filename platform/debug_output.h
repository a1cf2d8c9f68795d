// The operating system's debug-output channel; here, standard error.
#pragma once

namespace tmb::platform {

// Writes text as it is (no line end added), in one write.
void OutputDebugText(const char* text);

}  // namespace tmb::platform
