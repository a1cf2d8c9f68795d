// The two ways a request can be cut short. Both unwind to the session's
// recovery point, where the connection is closed without a reply.
#pragma once

#include <exception>

namespace tmb {

// Memory for the request could not be had.
class RequestAbandoned : public std::exception {
 public:
  const char* what() const noexcept override { return "request abandoned: out of memory"; }
};

// The request does not hold the fields its opcode needs (a read past the end
// of the body, a block longer than its destination, a negative length).
class MalformedRequest : public std::exception {
 public:
  explicit MalformedRequest(const char* reason) : reason_(reason) {}
  const char* what() const noexcept override { return reason_; }

 private:
  const char* reason_;
};

}  // namespace tmb
