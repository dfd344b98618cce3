#include "engine/report_text.h"

namespace qelvar::engine {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

}  // namespace

void ReportText::AppendDec(int64_t value, int width) {
  char digits[24];
  char* end = digits + sizeof digits;
  char* p = end;
  // Work on the magnitude as unsigned so INT64_MIN needs no special case.
  uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  do {
    *--p = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  // printf counts the sign in the width and puts the zeros after it.
  int pad = width - static_cast<int>(end - p) - (value < 0 ? 1 : 0);
  if (value < 0) text_.push_back('-');
  if (pad > 0) text_.append(static_cast<size_t>(pad), '0');
  text_.append(p, static_cast<size_t>(end - p));
}

void ReportText::AppendHex(uint64_t value, int width) {
  char digits[16];
  char* end = digits + sizeof digits;
  char* p = end;
  do {
    *--p = kHexDigits[value & 0xF];
    value >>= 4;
  } while (value != 0);
  int pad = width - static_cast<int>(end - p);
  if (pad > 0) text_.append(static_cast<size_t>(pad), '0');
  text_.append(p, static_cast<size_t>(end - p));
}

}  // namespace qelvar::engine
