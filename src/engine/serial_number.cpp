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

}  // namespace qelvar::engine
