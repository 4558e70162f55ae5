// The transfer's message text crosses from a writer thread to the GUI thread
// as a plain wchar_t* (Qt queues any pointer argument as a bare pointer), so
// the sender hands over a heap copy that the receiving slot releases. Copies
// whose queued call never runs are freed at process exit.
#pragma once

namespace message_copies {

// A heap copy of text, recorded as in flight. Thread-safe.
wchar_t* make(const wchar_t* text);

// Frees text if it is a copy made by make(); any other pointer is left
// alone. Returns whether it was one. Thread-safe.
bool release(const wchar_t* text);

// Copies made and not yet released (for tests).
int inFlight();

}  // namespace message_copies
