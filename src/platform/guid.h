// Random GUIDs (version 4), from the kernel's random source.
#pragma once

#include <string>

namespace platform {

// A new random GUID in its text form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
// (upper-case hexadecimal).
std::string NewGuidText();

}  // namespace platform
