#include "handlers/catalog_records.h"

#include "wire/primitives.h"

namespace tmb {
namespace {

constexpr uint32_t kExtensionWidth = 2048;
// The library's 0 in a column's flag byte travels as the character '0'.
constexpr uint8_t kZeroFlagOnWire = '0';

template <size_t N>
void PutFixed(MessageBuffer& b, const char (&field)[N]) {
  PutBlock(b, field, N);
}

// A blob the library leaves without bytes, or with a length no block can
// have, goes out as none: the client reads the bytes only after a non-zero
// length, so the two must agree.
void PutBlob(MessageBuffer& b, const uint8_t* blob, int32_t length) {
  if (blob == nullptr || length <= 0) {
    PutInt32(b, 0);
    return;
  }
  PutInt32(b, length);
  PutBlock(b, blob, static_cast<uint32_t>(length));
}

}  // namespace

void PutColumnRecord(MessageBuffer& b, const TMBColumnRecord& r) {
  PutFixed(b, r.text1);
  PutFixed(b, r.text2);
  PutFixed(b, r.text3);
  PutFixed(b, r.text4);
  PutFixed(b, r.text5);
  PutFixed(b, r.text6);
  PutFixed(b, r.text7);
  PutFixed(b, r.text8);
  PutFixed(b, r.text9);
  PutFixed(b, r.text10);
  PutFixed(b, r.text11);
  PutFixed(b, r.text12);
  PutBlob(b, r.blob1, r.blob1_length);
  PutBlob(b, r.blob2, r.blob2_length);
  // The client reads int5 before int4.
  PutInt32(b, r.int1);
  PutInt32(b, r.int2);
  PutInt32(b, r.int3);
  PutInt32(b, r.int5);
  PutInt32(b, r.int4);
  PutInt32(b, r.int6);
  PutInt32(b, r.int7);
  PutInt32(b, r.int8);
  PutInt32(b, r.int9);
  PutInt32(b, r.int10);
  PutByte(b, r.flag == 0 ? kZeroFlagOnWire : r.flag);
}

void PutTableRecord(MessageBuffer& b, const TMBTableRecord& r) {
  PutFixed(b, r.text1);
  PutFixed(b, r.text2);
  PutFixed(b, r.text3);
  PutFixed(b, r.text4);
  PutFixed(b, r.text5);
  PutFixed(b, r.text6);
  PutFixed(b, r.text7);
  PutFixed(b, r.text8);
  PutBlob(b, r.blob1, r.blob1_length);
  PutBlob(b, r.blob2, r.blob2_length);
  PutInt32(b, r.number1);
  PutByte(b, r.byte1);
  PutByte(b, r.byte2);
  // The client learns from one byte whether the extension follows. That byte
  // is the present flag's low byte, made 1 for a word that is not 0 but has
  // a low byte of 0, so that byte and extension always agree (the library
  // itself uses 0 and 1 only).
  uint8_t present = static_cast<uint8_t>(r.has_extension);
  if (r.has_extension != 0 && present == 0) present = 1;
  PutByte(b, present);
  if (present != 0) {
    PutInt32(b, r.extension_length);
    PutBlock(b, r.extension, kExtensionWidth);
  }
  PutInt32(b, r.number2);
}

}  // namespace tmb
