// The message buffer of one connection: a contiguous byte block that holds
// the request just received and then the reply about to be sent. It keeps a
// 4096-byte home block for the connection's whole life, so small messages
// never allocate, and grows in 4096-byte units for large ones; a small
// message after a large one gives the large block back at once. Grown
// blocks count as request memory (wire/request_memory.h): one that would
// pass the process's limit cannot be had. Every block, the home block
// included, is subject to the test seam of wire/allocation_failure.h.
#pragma once

#include <cstdint>

namespace tmb {

constexpr uint64_t kBufferUnit = 4096;

class MessageBuffer {
 public:
  MessageBuffer() = default;
  ~MessageBuffer();
  MessageBuffer(const MessageBuffer&) = delete;
  MessageBuffer& operator=(const MessageBuffer&) = delete;

  // Obtains the home block. False when it cannot be had.
  bool Create();

  uint8_t* data() const { return storage_; }
  uint64_t capacity() const { return capacity_; }
  uint64_t length() const { return length_; }
  uint64_t cursor() const { return cursor_; }
  bool on_home_block() const { return storage_ != nullptr && storage_ == home_; }
  bool has_home_block() const { return home_ != nullptr; }

  void set_cursor(uint64_t c) { cursor_ = c; }
  // Adds received bytes written directly at data() + length().
  void add_length(uint64_t n) { length_ += n; }
  void set_length(uint64_t n) { length_ = n; }

  void SetPosition(uint64_t n) { length_ = cursor_ = n; }
  void Reset() { SetPosition(0); }
  // Restarts the buffer after the 8-byte frame header for the reply.
  void BeginReply() { SetPosition(8); }

  // Replaces storage by a new block of exactly `size` bytes; contents dropped.
  bool Allocate(uint64_t size);
  // Frees storage and empties the buffer.
  void Release();
  // Gives a grown block back and goes back to the home block, empty. The
  // server calls it after every reply, so that an idle connection never
  // keeps what its last request grew.
  void ReturnHome();
  // Replaces storage by a larger block keeping the first length() bytes.
  bool Grow(uint64_t size);
  // Applies the sizing policy for a message of `size` bytes. With keep false
  // the buffer is reset; with keep true its valid bytes survive.
  bool EnsureCapacity(uint64_t size, bool keep);
  // Makes room for n more bytes at the write end, keeping the valid ones,
  // in one allocation of exactly what is needed (rounded to the unit).
  // False when it cannot be had; the buffer is then as it was.
  bool Reserve(uint64_t n);
  // Copies n bytes at the write end, growing the block geometrically so
  // that a reply built piece by piece costs linear time.
  bool Append(const void* bytes, uint64_t n);

 private:
  bool Resize(uint64_t target, bool keep);
  void FreeAll();

  uint8_t* storage_ = nullptr;
  uint64_t capacity_ = 0;
  uint64_t length_ = 0;
  uint64_t cursor_ = 0;
  uint8_t* home_ = nullptr;
};

}  // namespace tmb
