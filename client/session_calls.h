// Typed calls of the session-control requests: open a connection, identify
// the client, allocate and release environments and look up catalogs. Each
// returns false with a message in *error when the exchange failed (the
// connection is then closed) or the reply does not hold its fields.
#pragma once

#include <cstdint>
#include <string>

#include "client/client.h"

namespace tmb {

// The compression a client asks for when it opens a connection.
enum class CompressionChoiceOption { kNone, kRunLength, kZlib };

// Opens the connection with the compression negotiation (it is one of the
// requests that open a connection): none turns coding off, run-length codes
// every body it shortens, zlib asks for zlib on bodies above 256 bytes and
// run-length below. *granted_zlib says whether the server granted zlib.
bool OpenWithCompression(Client& c, CompressionChoiceOption choice, bool* granted_zlib,
                         std::string* error);

// Opcode 41. *code is the server's i16 answer (0).
bool CallHello(Client& c, int16_t* code, std::string* error);

struct IdentifyRequest {
  std::string identity1;
  std::string identity2;
  std::string unused;
  std::string resource1;
  std::string resource2;
  std::string client_name;
};

// Opcode 66. Empty texts are sent as absent. *code: -2 when the server has no
// client slot for the name, -3 when no access entry applies, else the access
// bits (0x001, 0x002, 0x100, 0x200).
bool CallIdentifyClient(Client& c, const IdentifyRequest& request, int16_t* code,
                        std::string* error);

// Opcode 38. *env is the new environment's id (0: the server has none).
bool CallAllocEnv(Client& c, int32_t* env, std::string* error);
// Opcode 39.
bool CallDeAllocEnv(Client& c, int32_t env, std::string* error);

// Opcode 67: logs environment `env` on as `user` with `password`; *status
// is the library's (0 when logged on, TMBIO_DENIED for a wrong pair).
bool CallLogon(Client& c, int32_t env, const std::string& user, const std::string& password,
               int32_t* status, std::string* error);

// Opcode 37 with a number (the environment's numeric modes, such as
// TMBIO_ENV_LOCK_WAIT); *result is the server's i32 answer.
bool CallSetEnvNumber(Client& c, int32_t env, int32_t mode, int32_t value, int32_t* result,
                      std::string* error);

// Opcode 37 with a text value (the environment's text modes, such as
// TMBIO_ENV_CATALOG); *result is the server's i32 answer.
bool CallSetEnvText(Client& c, int32_t env, int32_t mode, const std::string& text,
                    int32_t* result, std::string* error);

struct CatalogInfo {
  bool found = false;
  std::string text1;  // the catalog's data directory
  std::string text2;
  std::string text3;
  std::string view_library;
};

// Opcode 70: the catalog named `name` (ignoring case), or for "default" the
// one marked default.
bool CallGetCatalog(Client& c, int32_t env, const std::string& name, CatalogInfo* info,
                    std::string* error);

// Reads a counted text from the reply (its terminator dropped). Throws
// MalformedReply when the reply ends inside it.
std::string GetReplyText(MessageBuffer& reply);

}  // namespace tmb
