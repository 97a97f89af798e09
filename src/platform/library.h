// Dynamic libraries: the stand-in for LoadLibrary, GetProcAddress and
// FreeLibrary, used by the applet's host program to load the Control Panel
// extension (quillpanel.cpl) as the Control Panel does.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Move-only owner of a loaded library; unloads it in its destructor.
class DynamicLibrary {
 public:
  DynamicLibrary() = default;
  ~DynamicLibrary();
  DynamicLibrary(DynamicLibrary&& other) noexcept;
  DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  // Loads the library file at the native or Windows path; false on failure,
  // with the loader's reason in ErrorText().
  bool Load(std::string_view path);
  // Address of an exported symbol, or null.
  void* Symbol(const char* name) const;
  void Unload();
  const std::string& ErrorText() const { return error_; }

 private:
  void* handle_ = nullptr;
  std::string error_;
};

}  // namespace platform
