#include "engine/serial_number.h"

namespace qelvar::engine {

void IncrementSerialText(char* text, size_t capacity) {
  size_t length = 0;
  while (length < capacity && text[length] != '\0' && text[length] != '\n') ++length;
  for (size_t i = length; i-- > 0;) {
    char c = text[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    text[i] = c;
    if (c == 'F') {
      text[i] = '0';
      continue;  // carry into the character on the left, if any
    }
    if ((c >= '0' && c <= '8') || (c >= 'A' && c <= 'E')) {
      text[i] = static_cast<char>(c + 1);
    } else if (c == '9') {
      text[i] = 'A';
    } else {
      text[i] = '0';
    }
    return;
  }
}

bool AdvanceSerialText(char* text, size_t capacity, uint64_t steps) {
  size_t length = 0;
  while (length < capacity && text[length] != '\0' && text[length] != '\n') ++length;
  // `carry` counts the increments that reach the character at i.
  uint64_t carry = steps;
  for (size_t i = length; i-- > 0 && carry > 0;) {
    char c = text[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    uint64_t digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint64_t>(c - '0');
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<uint64_t>(c - 'A' + 10);
    } else {
      // The first increment to arrive turns it into "0" and goes no further;
      // the rest count on from there.
      --carry;
    }
    const uint64_t sum = digit + carry % 16;
    text[i] = "0123456789ABCDEF"[sum % 16];
    carry = carry / 16 + sum / 16;
  }
  return carry == 0;
}

}  // namespace qelvar::engine
