// Linked into wheels only. The C++ runtime linked into the module was built for a newer C library
// than the wheel's oldest target; these stand in for the two symbols that C library lacks.
// Hidden, so that they never replace the process's own.
#include <unistd.h>
#include <cstdint>
#include <cstdlib>

extern "C" {

// "Maybe more than one thread": reference counts in the runtime always take the atomic path.
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;

// Only std::random_device reaches it, which the engine never constructs.
__attribute__((visibility("hidden"))) std::uint32_t arc4random() {
  std::uint32_t value = 0;
  if (getentropy(&value, sizeof value) != 0) std::abort();
  return value;
}
}
