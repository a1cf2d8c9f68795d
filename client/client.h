// A client of the server's wire protocol. It frames and codes its requests
// with the server's own units, so both ends apply the same compression rule.
//
//   tmb::Client c;
//   if (!c.Connect("127.0.0.1", tmb::kDefaultPort, &error)) ...
//   // or, over TLS, trusting the CA that signed the server's certificate:
//   if (!c.Connect("db.example", tmb::kDefaultPort, {.enabled = true, .ca_file = "ca.pem"},
//                  &error)) ...
//   c.BeginRequest(41);                 // Hello
//   if (!c.Call(&error)) ...
//   int16_t code = tmb::GetInt16(c.reply());
#pragma once

#include <cstdint>
#include <string>

#include "client/tls_client.h"
#include "wire/connection.h"
#include "wire/errors.h"
#include "wire/frame.h"
#include "wire/message_buffer.h"
#include "wire/primitives.h"

namespace tmb {

class Client {
 public:
  Client();
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Connects over TCP. False with a message in *error on failure.
  bool Connect(const std::string& host, uint16_t port, std::string* error);
  // The same, then TLS when `tls.enabled` (client/tls_client.h says what is
  // verified); `host` is the name the certificate must carry.
  bool Connect(const std::string& host, uint16_t port, const ClientTls& tls, std::string* error);
  // Ends TLS with its close notice first, then closes the socket.
  void Close();
  bool connected() const { return conn_.fd >= 0; }
  bool secure() const { return conn_.tls != nullptr; }

  // Starts a request with `opcode`; append its fields with the Put
  // primitives on request().
  void BeginRequest(uint8_t opcode);
  MessageBuffer& request() { return buffer_; }

  // Sends the request and waits for the reply, which is then read with the
  // Get primitives on reply() from its first byte. False with a message in
  // *error when the connection failed or the reply frame was not valid.
  bool Call(std::string* error);
  MessageBuffer& reply() { return buffer_; }

  // Call, then `read(reply())`; a reply too short for the fields `read`
  // takes is an error and closes the connection, as the server would.
  template <typename Read>
  bool Exchange(std::string* error, Read read) {
    if (!Call(error)) return false;
    try {
      read(buffer_);
    } catch (const MalformedMessage&) {
      *error = "the server's reply is shorter than its fields";
      Close();
      return false;
    }
    return true;
  }

  // Asks for a compression level and thresholds (opcode 69); on success the
  // client uses the granted level from the next request on, as the server
  // does. Returns the granted level, or -1 when the call failed.
  int NegotiateCompression(uint8_t level, uint32_t rle_threshold, uint32_t zlib_threshold,
                           std::string* error);

  const CompressionSettings& compression() const { return compression_; }
  // Requests sent on this client so far with `opcode`, and in all.
  uint64_t sent(uint8_t opcode) const { return sent_[opcode]; }
  uint64_t sent() const { return sent_total_; }
  Connection& connection() { return conn_; }

 private:
  Connection conn_;
  MessageBuffer buffer_;
  CompressionSettings compression_;
  uint8_t opcode_ = 0;
  uint64_t sent_[256] = {};
  uint64_t sent_total_ = 0;
};

}  // namespace tmb
