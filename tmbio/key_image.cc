#include "key_image.h"

#include <cstring>

namespace tmbio {

namespace {

// Appends the image of one segment's bytes (`n` of them, `n` <= length only
// for a text prefix).
void AppendSegment(const Segment& seg, const uint8_t* bytes, size_t n, std::string* out) {
  const size_t start = out->size();
  switch (seg.type()) {
    case TMBIO_SEG_SIGNED:
    case TMBIO_SEG_UNSIGNED:
      for (size_t i = n; i-- > 0;) out->push_back(static_cast<char>(bytes[i]));
      if (seg.type() == TMBIO_SEG_SIGNED) (*out)[start] = static_cast<char>((*out)[start] ^ 0x80);
      break;
    default:
      out->append(reinterpret_cast<const char*>(bytes), n);
      if (seg.flags & TMBIO_SEG_NOCASE) {
        for (size_t i = start; i < out->size(); ++i) {
          char c = (*out)[i];
          if (c >= 'a' && c <= 'z') (*out)[i] = static_cast<char>(c - 32);
        }
      }
      break;
  }
  if (seg.flags & TMBIO_SEG_DESCENDING) {
    for (size_t i = start; i < out->size(); ++i) (*out)[i] = static_cast<char>(~(*out)[i]);
  }
}

bool Empty(const uint8_t* p, int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    if (p[i] != 0 && p[i] != ' ') return false;
  }
  return true;
}

}  // namespace

void KeyValue(const Key& key, const uint8_t* record, uint8_t* out) {
  for (const Segment& s : key.segments) {
    memcpy(out, record + s.offset, static_cast<size_t>(s.length));
    out += s.length;
  }
}

bool BuildImage(const Key& key, const uint8_t* record, std::string* image) {
  image->clear();
  for (const Segment& s : key.segments) {
    const uint8_t* p = record + s.offset;
    if ((s.flags & TMBIO_SEG_SPARSE) && Empty(p, s.length)) return false;
    AppendSegment(s, p, static_cast<size_t>(s.length), image);
  }
  return true;
}

int32_t ImagePrefix(const Key& key, const uint8_t* value, size_t length, std::string* prefix) {
  prefix->clear();
  if (length > static_cast<size_t>(key.value_length)) return TMBIO_BAD_LENGTH;
  for (const Segment& s : key.segments) {
    if (length == 0) break;
    size_t n = static_cast<size_t>(s.length);
    if (length < n) {
      if (s.integer()) return TMBIO_INVALID;
      n = length;
    }
    AppendSegment(s, value, n, prefix);
    value += n;
    length -= n;
  }
  return 0;
}

bool PrefixSuccessor(std::string* prefix) {
  while (!prefix->empty() && static_cast<uint8_t>(prefix->back()) == 0xFF) prefix->pop_back();
  if (prefix->empty()) return false;
  prefix->back() = static_cast<char>(static_cast<uint8_t>(prefix->back()) + 1);
  return true;
}

uint64_t ReadUnsigned(const uint8_t* p, int32_t length) {
  uint64_t v = 0;
  for (int32_t i = length; i-- > 0;) v = (v << 8) | p[i];
  return v;
}

int64_t ReadSigned(const uint8_t* p, int32_t length) {
  uint64_t v = ReadUnsigned(p, length);
  if (length < 8 && (v >> (length * 8 - 1)) & 1) v |= ~uint64_t{0} << (length * 8);
  return static_cast<int64_t>(v);
}

void WriteInteger(uint64_t value, uint8_t* p, int32_t length) {
  for (int32_t i = 0; i < length; ++i) {
    p[i] = static_cast<uint8_t>(value);
    value >>= 8;
  }
}

}  // namespace tmbio
