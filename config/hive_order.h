// Where every registry setting is looked for: under the current user's hive
// first, then the machine's. Which hive's answer is final differs from one
// setting to another, and each setting keeps the way it has always had; the
// ways are the two calls and the modes below, and nothing else walks the
// hives itself.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/registry.h"

namespace tmb {

// Opens `path` under the first hive that has the key. That key is then the
// whole answer, even when it lacks what the caller looks for in it: a user's
// key, empty or not, hides the machine's, and the two are never merged.
// False, the key closed, when neither hive has it.
bool OpenFirstKey(std::string_view path, platform::RegistryKey* key);

// What makes a hive's value the answer. A missing key or value, or one too
// large for its room (a text counts its terminator), is never the answer.
enum class ValueFound {
  // Any value the room holds wins, whatever it holds. Data that fills the
  // room to its last byte loses that byte to the terminator.
  kHeld,
  // Data that fills the room without a zero byte has no room for the
  // terminator, and an empty text says nothing: either falls through.
  kNonEmpty,
};

// Reads value `name` of key `path` from the first hive whose value is the
// answer as `found` says. When it is, data[0, size) holds the value's bytes
// followed by zeros, and *type, when not null, the value's type. False, with
// data all zeros, when no hive has an answer. `size` is at least 1.
bool ReadFirstValue(std::string_view path, const char* name, ValueFound found, uint32_t* type,
                    char* data, uint32_t size);

}  // namespace tmb
