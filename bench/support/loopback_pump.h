// The plain loopback socket pump the benchmarks measure themselves against: what moving the same
// bytes from one thread to another over 127.0.0.1 costs with nothing else in the way.
#pragma once

#include <cstddef>
#include <cstdint>

namespace benchsupport {

// Steady-clock seconds; the platform clock counts milliseconds, and a pump run takes about one.
double seconds();

// Moves bytes from a sender thread to this one over loopback in writes and reads of chunk bytes
// (the sender sets TCP_NODELAY, as isi-sim's sockets do). Returns the seconds from connect to the
// last byte read, or a negative value on failure.
double pump(uint64_t bytes, size_t chunk = 32768);

}  // namespace benchsupport
