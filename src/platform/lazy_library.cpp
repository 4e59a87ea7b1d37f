#include "platform/lazy_library.h"

#include <dlfcn.h>

namespace rexmoor {

bool LazyLibrary::Load(std::string* error) {
  std::call_once(once_, [this] {
    // RTLD_LOCAL: its symbols serve only the calls made through it.
    void* handle = ::dlopen(soname_, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* why = ::dlerror();
      failure_ = std::string(soname_) + " cannot be loaded";
      if (why != nullptr) failure_ += std::string(": ") + why;
      return;
    }
    for (const auto& [name, address] : functions_) {
      *address = ::dlsym(handle, name);
      if (*address == nullptr) {
        failure_ = std::string(soname_) + " lacks " + name + ": it is not the version this program was built with";
        // Left loaded: unloading a library that ran its constructors is not always safe.
        return;
      }
    }
    loaded_ = true;
  });
  if (!loaded_ && error != nullptr) *error = failure_;
  return loaded_;
}

}  // namespace rexmoor
