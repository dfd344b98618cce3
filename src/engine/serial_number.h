// Serial numbers for the drives of a run.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qelvar::engine {

// Increments a serial number text in place as a hexadecimal number whose last
// character is the least significant digit. The text ends at its first zero
// byte or line feed, and at `capacity`. Each character passed is first upper-
// cased; "F" becomes "0" and carries left (all-F text wraps to all zeros);
// "0"-"8" and "A"-"E" become the next digit, "9" becomes "A"; any other
// character becomes "0" and the increment stops there. An empty text stays
// empty. 0009 -> 000A, 00FF -> 0100, FFFF -> 0000, AB-Z -> AB-0.
void IncrementSerialText(char* text, size_t capacity);

// The text `steps` increments of IncrementSerialText would give, at the cost
// of one: a series' serial at any offset from its first. True unless the
// hexadecimal digits ran out on the left, so the text wrapped round.
bool AdvanceSerialText(char* text, size_t capacity, uint64_t steps);

}  // namespace qelvar::engine
