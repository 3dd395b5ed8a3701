#include "invariant.h"

#include <cstdio>

namespace invariant {

void broken(std::string_view report) {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(report.size()), report.data());
    throw BrokenInvariant(std::string(report));
}

}  // namespace invariant
