// The process's hash key, from the operating system's random source: the one place that names a
// platform's system interface.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "shared/keyed_hash.hpp"

#if defined(_WIN32)
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>
#elif defined(__APPLE__) || defined(__FreeBSD__) || defined(__OpenBSD__) || defined(__NetBSD__) || \
    defined(__DragonFly__)
#include <stdlib.h>
#elif defined(__linux__)
#include <sys/random.h>

#include <cerrno>
#else
#error "no random source known for this platform"
#endif

namespace korvane::keyed_hash {

namespace {

bool fill_from_system(unsigned char* out, std::size_t n) noexcept {
#if defined(_WIN32)
  return BCryptGenRandom(nullptr, out, static_cast<ULONG>(n), BCRYPT_USE_SYSTEM_PREFERRED_RNG) >= 0;
#elif defined(__APPLE__) || defined(__FreeBSD__) || defined(__OpenBSD__) || defined(__NetBSD__) || \
    defined(__DragonFly__)
  arc4random_buf(out, n);
  return true;
#else
  // Blocks only until the kernel's pool is first seeded, early in boot.
  while (n > 0) {
    const auto got = getrandom(out, n, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;  // a kernel before 3.17, or a sandbox that refuses the call
    }
    out += got;
    n -= static_cast<std::size_t>(got);
  }
  return true;
#endif
}

Key read_key() noexcept {
  unsigned char bytes[sizeof(Key)];
  Key key;
  if (fill_from_system(bytes, sizeof bytes)) {
    std::memcpy(&key.k0, bytes, sizeof key.k0);
    std::memcpy(&key.k1, bytes + sizeof key.k0, sizeof key.k1);
    return key;
  }
  // Without the system's source the addresses the loader randomised are still no public key.
  const auto stack = reinterpret_cast<std::uintptr_t>(&key);
  const auto code = reinterpret_cast<std::uintptr_t>(&read_key);
  key.k0 = Sip<std::uint64_t, 2, 4>(Key{stack, code}).finish("korvane");
  key.k1 = Sip<std::uint64_t, 2, 4>(Key{code, stack}).finish("korvane");
  return key;
}

}  // namespace

const Key& process_key() noexcept {
  static const Key key = read_key();
  return key;
}

}  // namespace korvane::keyed_hash
