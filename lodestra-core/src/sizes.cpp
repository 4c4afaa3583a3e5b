#include "lodestra_core/sizes.hpp"

#include "lodestra_core/format.hpp"

namespace lodestra_core {

void allocation_failed(const std::string& what, std::uint64_t values) {
  throw AllocationError("cannot allocate " + what + " (" + fmt_int(values) + " values)");
}

}  // namespace lodestra_core
