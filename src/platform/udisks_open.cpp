#include "platform/udisks_open.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <memory>
#include <mutex>

#include "platform/file_handle.h"
#include "platform/lazy_library.h"

namespace rexmoor {

namespace {

// sd-bus, loaded when udisks2 is first asked for a device.
REXMOOR_LAZY_LIBRARY(LibSystemd, "libsystemd.so.0")
REXMOOR_LAZY_FUNCTION(LibSystemd(), sd_bus_open_system);
REXMOOR_LAZY_FUNCTION(LibSystemd(), sd_bus_set_allow_interactive_authorization);
REXMOOR_LAZY_FUNCTION(LibSystemd(), sd_bus_flush_close_unref);
REXMOOR_LAZY_FUNCTION(LibSystemd(), sd_bus_call);
REXMOOR_LAZY_FUNCTION(LibSystemd(), sd_bus_call_method);
REXMOOR_LAZY_FUNCTION(LibSystemd(), sd_bus_message_new_method_call);
REXMOOR_LAZY_FUNCTION(LibSystemd(), sd_bus_message_append);
REXMOOR_LAZY_FUNCTION(LibSystemd(), sd_bus_message_enter_container);
REXMOOR_LAZY_FUNCTION(LibSystemd(), sd_bus_message_read);
REXMOOR_LAZY_FUNCTION(LibSystemd(), sd_bus_message_unref);
REXMOOR_LAZY_FUNCTION(LibSystemd(), sd_bus_error_free);
REXMOOR_LAZY_FUNCTION(LibSystemd(), sd_bus_error_has_name);
REXMOOR_LAZY_FUNCTION(LibSystemd(), sd_bus_error_is_set);

constexpr const char* kService = "org.freedesktop.UDisks2";
constexpr const char* kManagerPath = "/org/freedesktop/UDisks2/Manager";
// The user may take a while to type the password polkit asks for.
constexpr std::uint64_t kAuthorisationMicroseconds = 300ull * 1000 * 1000;
constexpr std::uint64_t kQuickMicroseconds = 5ull * 1000 * 1000;

std::atomic<UdisksUse> g_use{UdisksUse::Fallback};
thread_local std::string g_refusal;

struct BusUnref {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Bus = std::unique_ptr<sd_bus, BusUnref>;
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

// sd_bus_error freed on every way out.
struct BusError {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  ~BusError() { sd_bus_error_free(&error); }
  std::string Text() const {
    if (error.message != nullptr && *error.message != '\0') return error.message;
    return error.name != nullptr ? error.name : "no answer";
  }
  bool NotAuthorised() const {
    return sd_bus_error_has_name(&error, "org.freedesktop.UDisks2.Error.NotAuthorized") ||
           sd_bus_error_has_name(&error, "org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain") ||
           sd_bus_error_has_name(&error, "org.freedesktop.UDisks2.Error.NotAuthorizedDismissed") ||
           sd_bus_error_has_name(&error, SD_BUS_ERROR_ACCESS_DENIED) ||
           sd_bus_error_has_name(&error, SD_BUS_ERROR_INTERACTIVE_AUTHORIZATION_REQUIRED);
  }
  bool NoService() const {
    return sd_bus_error_has_name(&error, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
           sd_bus_error_has_name(&error, SD_BUS_ERROR_NAME_HAS_NO_OWNER) ||
           sd_bus_error_has_name(&error, SD_BUS_ERROR_UNKNOWN_OBJECT) ||
           sd_bus_error_has_name(&error, SD_BUS_ERROR_UNKNOWN_METHOD);
  }
};

// The system bus (sd_bus_open_system honours DBUS_SYSTEM_BUS_ADDRESS).
Bus OpenSystemBus() {
  sd_bus* bus = nullptr;
  if (!LibSystemd().Load() || sd_bus_open_system(&bus) < 0) return Bus();
  // polkit may ask the user for a password on this call.
  (void)sd_bus_set_allow_interactive_authorization(bus, 1);
  return Bus(bus);
}

// The object udisks2 keeps for the block device at path: asked of the manager, which also follows
// links such as /dev/disk/by-id/...; udisks2 before 2.7 lacks that call, and then the kernel name
// gives the object path.
std::string BlockObjectOf(sd_bus* bus, const std::string& path, BusError& error) {
  sd_bus_message* call = nullptr;
  if (sd_bus_message_new_method_call(bus, &call, kService, kManagerPath, "org.freedesktop.UDisks2.Manager",
                                     "ResolveDevice") < 0)
    return {};
  Message request(call);
  if (sd_bus_message_append(call, "a{sv}", 1, "path", "s", path.c_str()) < 0 ||
      sd_bus_message_append(call, "a{sv}", 0) < 0)
    return {};
  sd_bus_message* answer = nullptr;
  if (sd_bus_call(bus, call, kQuickMicroseconds, &error.error, &answer) >= 0) {
    Message reply(answer);
    const char* object = nullptr;
    if (sd_bus_message_enter_container(answer, 'a', "o") >= 0 && sd_bus_message_read(answer, "o", &object) > 0 &&
        object != nullptr)
      return object;
    return {};
  }
  if (!sd_bus_error_has_name(&error.error, SD_BUS_ERROR_UNKNOWN_METHOD)) return {};
  sd_bus_error_free(&error.error);
  error.error = SD_BUS_ERROR_NULL;
  const std::size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty()) return {};
  // Object paths allow only [A-Za-z0-9_]; udisks2 escapes the rest, kernel names need none.
  for (char c : name)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return {};
  return "/org/freedesktop/UDisks2/block_devices/" + name;
}

// Descriptors udisks2 gave, by the path asked for: one password for the whole session.
std::mutex g_lock;
std::map<std::string, int>& Opened() {
  static auto* const opened = new std::map<std::string, int>();
  return *opened;
}

Result CopyOf(int fd, FileHandle& out) {
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return ResultFromErrno(errno);
  out = FileHandle(copy);
  return kSuccess;
}

}  // namespace

void SetUdisksUse(UdisksUse use) { g_use.store(use); }
UdisksUse GetUdisksUse() { return g_use.load(); }

std::string LastUdisksRefusal() { return g_refusal; }
void ClearUdisksRefusal() { g_refusal.clear(); }

Result OpenThroughUdisks(const std::string& path, FileHandle& out, std::string* message) {
  auto say = [message](std::string text) {
    g_refusal = text;
    if (message != nullptr) *message = std::move(text);
  };
  g_refusal.clear();
  const std::lock_guard<std::mutex> guard(g_lock);
  if (auto kept = Opened().find(path); kept != Opened().end()) return CopyOf(kept->second, out);

  Bus bus = OpenSystemBus();
  if (!bus) {
    say("the system bus cannot be reached, so udisks2 cannot be asked");
    return kErrNotSupported;
  }
  BusError error;
  const std::string object = BlockObjectOf(bus.get(), path, error);
  if (object.empty()) {
    if (error.NoService()) {
      say("udisks2 is not installed or not running (" + error.Text() + ")");
      return kErrNotSupported;
    }
    say("udisks2 does not know " + path + (sd_bus_error_is_set(&error.error) ? " (" + error.Text() + ")" : ""));
    return kErrFileNotFound;
  }
  // Mode "r": read-only. OpenForBackup would want the device for itself and fails on a mounted card.
  sd_bus_message* call = nullptr;
  if (sd_bus_message_new_method_call(bus.get(), &call, kService, object.c_str(), "org.freedesktop.UDisks2.Block",
                                     "OpenDevice") < 0)
    return kErrNotEnoughMemory;
  Message request(call);
  if (sd_bus_message_append(call, "sa{sv}", "r", 0) < 0) return kErrNotEnoughMemory;
  sd_bus_message* answer = nullptr;
  if (sd_bus_call(bus.get(), call, kAuthorisationMicroseconds, &error.error, &answer) < 0) {
    if (error.NoService()) {
      say("udisks2 is not installed or not running (" + error.Text() + ")");
      return kErrNotSupported;
    }
    say((error.NotAuthorised() ? "udisks2 did not allow reading " + path + " (" : "udisks2 could not open " + path +
                                                                                       " (") +
        error.Text() + ")");
    return kErrAccessDenied;
  }
  Message reply(answer);
  int fd = -1;
  if (sd_bus_message_read(answer, "h", &fd) <= 0 || fd < 0) {
    say("udisks2 gave no descriptor for " + path);
    return kErrAccessDenied;
  }
  // The descriptor belongs to the message: keep a copy of our own.
  const int kept = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (kept < 0) return ResultFromErrno(errno);
  // Read-only is what was asked for; a daemon that gave more is not trusted with our media.
  const int flags = ::fcntl(kept, F_GETFL);
  if (flags < 0 || (flags & O_ACCMODE) != O_RDONLY) {
    ::close(kept);
    say("udisks2 gave a descriptor of " + path + " that is not read-only");
    return kErrAccessDenied;
  }
  Opened()[path] = kept;
  return CopyOf(kept, out);
}

bool OpenKeptUdisksDescriptor(const std::string& path, FileHandle& out) {
  const std::lock_guard<std::mutex> guard(g_lock);
  const auto kept = Opened().find(path);
  return kept != Opened().end() && CopyOf(kept->second, out) == kSuccess;
}

bool UdisksAvailable() {
  Bus bus = OpenSystemBus();
  if (!bus) return false;
  BusError error;
  sd_bus_message* answer = nullptr;
  // The daemon may be started on demand: ask whether the bus knows the name at all.
  if (sd_bus_call_method(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         "NameHasOwner", &error.error, &answer, "s", kService) < 0)
    return false;
  Message reply(answer);
  int owned = 0;
  if (sd_bus_message_read(answer, "b", &owned) > 0 && owned != 0) return true;
  sd_bus_message* names = nullptr;
  if (sd_bus_call_method(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         "ListActivatableNames", &error.error, &names, "") < 0)
    return false;
  Message list(names);
  if (sd_bus_message_enter_container(names, 'a', "s") < 0) return false;
  const char* name = nullptr;
  while (sd_bus_message_read(names, "s", &name) > 0)
    if (name != nullptr && std::string(name) == kService) return true;
  return false;
}

}  // namespace rexmoor
