#pragma once

namespace korvalin {

// Caps the process's address space for a one-shot mode that reads files it
// did not write: whatever a damaged file gets past the media checks ends in
// a failed allocation, not in the machine's memory running out.
void limitMemory();

} // namespace korvalin
