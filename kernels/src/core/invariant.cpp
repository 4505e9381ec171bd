#include "core/invariant.hpp"

#include <unistd.h>

#include <algorithm>

namespace qv {

void invariant_failed(const char* what, const char* file, int line) {
  throw InternalError(std::string(what) + " (" + file + ":" + std::to_string(line) + ")");
}

namespace {
std::string decimal(unsigned __int128 v) {
  std::string s;
  do {
    s.insert(s.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
    v /= 10;
  } while (v != 0);
  return s;
}
}  // namespace

void allocation_failed(const char* what, uint64_t count, size_t elem_bytes) {
  throw OutOfMemory(std::string("Could not allocate ") + what + " of " + std::to_string(count) + " entries (" +
                    decimal(static_cast<unsigned __int128>(count) * elem_bytes) + " bytes).");
}

void require_allocatable(unsigned __int128 count, size_t elem_bytes, const char* argument, uint64_t value,
                         const char* what) {
  static const unsigned __int128 physical = [] {
    const long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGESIZE);
    return pages > 0 && size > 0 ? static_cast<unsigned __int128>(pages) * static_cast<unsigned __int128>(size)
                                 : static_cast<unsigned __int128>(SIZE_MAX);
  }();
  const unsigned __int128 limit = std::min<unsigned __int128>(physical, SIZE_MAX / 2) / elem_bytes;
  if (count <= limit) return;
  throw TooLarge(std::string(argument) + "=" + std::to_string(value) + " asks for " + what + " of " + decimal(count) +
                 " entries, more than this machine's memory holds.");
}

}  // namespace qv
