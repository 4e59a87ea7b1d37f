// Shared libraries loaded the first time they are needed rather than when the program starts.
//
// Reading a container image, previewing an archive and asking udisks2 for a device are each needed
// now and then, but their libraries (and what those pull in: libarchive brings libxml2 and ICU)
// took half the start-up of every run of the command line. Such a library is named by its soname,
// its functions by the names the library's header declares; a file that uses them declares, in
// namespace rexmoor:
//
//   REXMOOR_LAZY_LIBRARY(LibArchive, "libarchive.so.13")
//   REXMOOR_LAZY_FUNCTION(LibArchive(), archive_read_new);
//
// and its calls of archive_read_new(...) then go through the loaded library unchanged: the
// object in namespace rexmoor hides the header's declaration. Before the first call the code calls
// LibArchive().Load(error), which loads the library and finds every function declared for it; a
// function is never called through a library that did not load.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace rexmoor {

class LazyLibrary {
 public:
  explicit LazyLibrary(const char* soname) : soname_(soname) {}
  LazyLibrary(const LazyLibrary&) = delete;
  LazyLibrary& operator=(const LazyLibrary&) = delete;

  // True once the library is loaded and every function declared for it was found; the first call
  // loads it. When it cannot be, false, and error (if given) says so and why.
  bool Load(std::string* error = nullptr);
  const char* Soname() const { return soname_; }

  // Called by the declarations of its functions, before the program's main runs.
  void Declare(const char* name, void** address) { functions_.emplace_back(name, address); }

 private:
  const char* soname_;
  std::vector<std::pair<const char*, void**>> functions_;
  std::once_flag once_;
  bool loaded_ = false;
  std::string failure_;
};

// One function of a LazyLibrary, called as the function itself.
template <typename Function>
class LazyFunction {
 public:
  LazyFunction(LazyLibrary& library, const char* name) { library.Declare(name, &address_); }
  LazyFunction(const LazyFunction&) = delete;
  LazyFunction& operator=(const LazyFunction&) = delete;

  template <typename... Args>
  decltype(auto) operator()(Args&&... args) const {
    return reinterpret_cast<Function*>(address_)(std::forward<Args>(args)...);
  }

 private:
  void* address_ = nullptr;
};

// The program's one LazyLibrary of a soname, made on first use: the declarations of its functions,
// made while the program starts, never find it unmade.
#define REXMOOR_LAZY_LIBRARY(accessor, soname) \
  inline LazyLibrary& accessor() {              \
    static LazyLibrary library(soname);         \
    return library;                             \
  }

#define REXMOOR_LAZY_FUNCTION(library, name) inline LazyFunction<decltype(::name)> name{library, #name}

}  // namespace rexmoor
