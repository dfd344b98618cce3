// What qelvar-cli says on standard error when a run is interrupted or
// stopped, and about records kept for later.
#pragma once

#include <cstddef>
#include <vector>

namespace qelvar::app {

// What the first interrupt says: the run goes on to its end.
void SayWaiting(size_t running);

// An interrupt during the Start: the drives it has sent into ROM mode so far
// (0-based ports, named 1-based).
void SayAlreadyInRomMode(const std::vector<int>& ports);

// What a second interrupt says before the program quits at once: the ports
// (1-based) left in the middle of their flow, which must be run again.
void SayQuitAtOnce(const std::vector<int>& running);

// The records not yet written that were kept in the ledger's spool.
void SayKept(size_t kept);

// After a stop during the Start: the drives it sent into ROM mode and never
// started (0-based), named 1-based as the table shows them.
void SayLeftInRomMode(const std::vector<int>& ports);

}  // namespace qelvar::app
