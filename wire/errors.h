// The ways reading or building a message can be cut short. On the server
// both unwind to the session's recovery point, where the connection is
// closed without a reply.
#pragma once

#include <exception>

namespace tmb {

// Memory for the request could not be had.
class RequestAbandoned : public std::exception {
 public:
  const char* what() const noexcept override { return "request abandoned: out of memory"; }
};

// A message does not hold the fields its reader needs (a read past the end
// of the body, a block longer than its destination, a negative length). The
// wire primitives throw this, for requests and replies alike.
class MalformedMessage : public std::exception {
 public:
  explicit MalformedMessage(const char* reason) : reason_(reason) {}
  const char* what() const noexcept override { return reason_; }

 private:
  const char* reason_;
};

// A request that breaks a rule of its handler's own (a negative size, a text
// without its terminator).
class MalformedRequest : public MalformedMessage {
 public:
  using MalformedMessage::MalformedMessage;
};

// A reply from the server that breaks a rule of the client's reader.
class MalformedReply : public MalformedMessage {
 public:
  using MalformedMessage::MalformedMessage;
};

}  // namespace tmb
