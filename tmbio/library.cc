// The calls of the C interface that stand on their own: the version query,
// the socket-close release and the status counts. The storage engine
// supplies the rest of tmbio.h.
#include "tmbio.h"

#include "object_table.h"

extern "C" {

TMBIO_API intptr_t QDGetEnvMode(void* handle, int32_t mode) noexcept {
  if (handle == nullptr && mode == TMBIO_MODE_VERSION) return TMBIO_LIBRARY_VERSION;
  return TMBIO_UNKNOWN_MODE;
}

TMBIO_API void QD_SocketClosed(uint64_t socket) noexcept { tmbio::Objects().ReleaseOwnedBy(socket); }

TMBIO_API int32_t GetNumConnections(void) noexcept { return tmbio::Objects().environment_count(); }

TMBIO_API int32_t GetNumOpenFiles(void) noexcept { return tmbio::Objects().file_count(); }

}  // extern "C"
