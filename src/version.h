#pragma once

#include <string>

namespace quillmar_modem {

// The version text "v{package}-{revision}": the package version of the build and
// the short source revision it was built from, both fixed when it was built.
std::string full_version();

}  // namespace quillmar_modem
