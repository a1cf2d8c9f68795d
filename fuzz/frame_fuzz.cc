// Frame reader: arbitrary bytes from a peer never make it read or write
// outside the message buffer, whatever the compression settings.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "wire/compression.h"
#include "wire/errors.h"
#include "wire/frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 60000) return 0;
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) std::abort();
  // The first byte picks the settings; the rest is what the peer sent.
  tmb::CompressionSettings settings;
  settings.level = (data[0] & 1) ? 100 : 0;
  settings.rle_threshold = (data[0] >> 1) & 7;
  settings.zlib_threshold = (data[0] >> 4) * 16;
  if (write(fds[1], data + 1, size - 1) != static_cast<ssize_t>(size - 1)) std::abort();
  shutdown(fds[1], SHUT_WR);
  tmb::Connection conn;
  conn.fd = fds[0];
  tmb::MessageBuffer buffer;
  if (!buffer.Create()) std::abort();
  tmb::LoadCompressionLibrary();
  try {
    while (tmb::ReceiveFrame(conn, buffer, settings, 1 << 20) == tmb::ReceiveResult::kOk) {
      if (buffer.length() > buffer.capacity()) std::abort();
    }
  } catch (const tmb::RequestAbandoned&) {
  }
  close(fds[0]);
  close(fds[1]);
  return 0;
}
