// A stand-in for the udisks2 daemon on a private bus, for the tests: it owns
// org.freedesktop.UDisks2 and answers Manager.ResolveDevice and Block.OpenDevice for the devices
// it is given, handing back a read-only descriptor of each, or refusing as polkit would.
//
//   udisks_standin BUS_ADDRESS LOG_FILE DEVICE... [--refuse DEVICE...]
//
// Every call is written to LOG_FILE, and "ready" once the name is owned.
#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

struct Device {
  std::string path;
  bool refuse = false;
};

std::FILE* g_log = nullptr;
std::map<std::string, Device> g_devices;  // object path -> device

void Log(const std::string& line) {
  std::fprintf(g_log, "%s\n", line.c_str());
  std::fflush(g_log);
}

std::string ObjectOf(const std::string& device) {
  const std::size_t slash = device.rfind('/');
  return "/org/freedesktop/UDisks2/block_devices/" + device.substr(slash + 1);
}

int ResolveDevice(sd_bus_message* m, void*, sd_bus_error* error) {
  std::string asked;
  if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0) return -EINVAL;
  while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
    const char* key = nullptr;
    if (sd_bus_message_read(m, "s", &key) < 0) return -EINVAL;
    if (std::strcmp(key, "path") == 0) {
      const char* value = nullptr;
      if (sd_bus_message_read(m, "v", "s", &value) < 0) return -EINVAL;
      asked = value;
    } else if (sd_bus_message_skip(m, "v") < 0) {
      return -EINVAL;
    }
    sd_bus_message_exit_container(m);
  }
  Log("ResolveDevice " + asked);
  sd_bus_message* reply = nullptr;
  if (sd_bus_message_new_method_return(m, &reply) < 0) return -ENOMEM;
  sd_bus_message_open_container(reply, 'a', "o");
  const std::string object = ObjectOf(asked);
  if (g_devices.count(object) != 0) sd_bus_message_append(reply, "o", object.c_str());
  sd_bus_message_close_container(reply);
  const int r = sd_bus_send(nullptr, reply, nullptr);
  sd_bus_message_unref(reply);
  (void)error;
  return r;
}

int OpenDevice(sd_bus_message* m, void*, sd_bus_error* error) {
  const char* mode = nullptr;
  if (sd_bus_message_read(m, "s", &mode) < 0) return -EINVAL;
  const char* object = sd_bus_message_get_path(m);
  const auto found = g_devices.find(object);
  if (found == g_devices.end()) return sd_bus_error_set(error, SD_BUS_ERROR_UNKNOWN_OBJECT, "no such device");
  Log(std::string("OpenDevice ") + found->second.path + " " + mode);
  if (found->second.refuse)
    return sd_bus_error_set(error, "org.freedesktop.UDisks2.Error.NotAuthorized", "Not authorized to perform operation");
  if (std::strcmp(mode, "r") != 0) return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS, "only r is served here");
  const int fd = ::open(found->second.path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return sd_bus_error_set_errno(error, errno);
  const int r = sd_bus_reply_method_return(m, "h", fd);  // the bus sends a copy
  ::close(fd);
  return r;
}

const sd_bus_vtable kManager[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("ResolveDevice", "a{sv}a{sv}", "ao", ResolveDevice, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

const sd_bus_vtable kBlock[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("OpenDevice", "sa{sv}", "h", OpenDevice, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: udisks_standin BUS_ADDRESS LOG_FILE DEVICE... [--refuse DEVICE...]\n");
    return 2;
  }
  g_log = std::fopen(argv[2], "a");
  if (g_log == nullptr) return 1;
  bool refuse = false;
  for (int i = 3; i < argc; ++i) {
    if (std::strcmp(argv[i], "--refuse") == 0) {
      refuse = true;
      continue;
    }
    g_devices[ObjectOf(argv[i])] = Device{argv[i], refuse};
  }
  sd_bus* bus = nullptr;
  if (sd_bus_new(&bus) < 0 || sd_bus_set_address(bus, argv[1]) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
      sd_bus_start(bus) < 0) {
    std::fprintf(stderr, "udisks_standin: cannot reach %s\n", argv[1]);
    return 1;
  }
  if (sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/UDisks2/Manager", "org.freedesktop.UDisks2.Manager",
                               kManager, nullptr) < 0)
    return 1;
  for (const auto& [object, device] : g_devices)
    if (sd_bus_add_object_vtable(bus, nullptr, object.c_str(), "org.freedesktop.UDisks2.Block", kBlock, nullptr) < 0)
      return 1;
  if (sd_bus_request_name(bus, "org.freedesktop.UDisks2", 0) < 0) return 1;
  Log("ready");
  for (;;) {
    const int r = sd_bus_process(bus, nullptr);
    if (r < 0) return 1;
    if (r > 0) continue;
    if (sd_bus_wait(bus, UINT64_MAX) < 0) return 1;
  }
}
