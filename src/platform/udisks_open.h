// Opening a block device the user may not open, through the udisks2 daemon: it asks polkit, which
// asks for the administrator's password once, and hands back a read-only descriptor over the
// system bus. This is how desktop programs read a card without running as root (a root program
// cannot even open a window on a Wayland desktop).
#pragma once

#include <string>

#include "platform/result_codes.h"

namespace rexmoor {

class FileHandle;

enum class UdisksUse {
  Never,     // plain open only
  Fallback,  // a block device the user may not open goes through udisks2 (the default)
  Always,    // every block device goes through udisks2
};

// How FileHandle::OpenReadOnly treats block devices, for the whole process.
void SetUdisksUse(UdisksUse use);
UdisksUse GetUdisksUse();

// Asks udisks2 (org.freedesktop.UDisks2 on the system bus, or the bus DBUS_SYSTEM_BUS_ADDRESS
// names) for a read-only descriptor of the block device at path. The answer for a path is kept:
// the next open of it takes a copy of the same descriptor and asks nobody. kErrAccessDenied when
// the daemon or polkit says no, kErrNotSupported when there is no udisks2 to ask; message says
// what happened, for the user.
Result OpenThroughUdisks(const std::string& path, FileHandle& out, std::string* message = nullptr);

// What udisks2 said when the last open of a block device on this thread went to it and failed
// (empty otherwise), for the message the user sees.
std::string LastUdisksRefusal();
void ClearUdisksRefusal();

// A copy of the descriptor udisks2 gave for path earlier, if it did; asks nobody.
bool OpenKeptUdisksDescriptor(const std::string& path, FileHandle& out);

// Whether a udisks2 daemon is there to ask (running or started on demand by the bus). No password
// is asked for.
bool UdisksAvailable();

}  // namespace rexmoor
