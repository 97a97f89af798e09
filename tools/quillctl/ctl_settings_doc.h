// The reference of every registry value, generated from the settings table:
// docs/configuration.md is this text (`quillctl settings --markdown`), and a
// test compares the two, so that a value added to the table without a new
// reference fails until the file is generated again.
#pragma once

#include <string>

namespace quillctl {

std::string ConfigurationMarkdown();

// The one command that brings docs/configuration.md up to date.
inline constexpr const char* kRegenerateConfigurationDoc = "build/quillctl settings --markdown > docs/configuration.md";

}  // namespace quillctl
