#include "platform/topology.h"

#include <algorithm>
#include <cstring>

namespace qelvar::platform {

void CopyName(char* field, size_t capacity, std::string_view text) {
  if (capacity == 0) return;
  size_t n = std::min(text.size(), capacity - 1);
  std::memcpy(field, text.data(), n);
  std::memset(field + n, 0, capacity - n);
}

void LowerCaseName(char* field, size_t capacity) {
  for (size_t i = 0; i < capacity && field[i] != '\0'; ++i) {
    if (field[i] >= 'A' && field[i] <= 'Z') field[i] = static_cast<char>(field[i] - 'A' + 'a');
  }
}

}  // namespace qelvar::platform
