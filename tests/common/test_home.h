// A state root of its own for the tests of this program: QUILLPOST_HOME is
// set to a fresh temporary folder before the first test runs and the folder
// is removed after the last one.
#pragma once

#include <filesystem>

// The temporary state root (valid while the tests run).
const std::filesystem::path& TestHome();
