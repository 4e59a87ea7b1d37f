#include "platform/device_monitor.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "test_support.h"

namespace rexmoor {
namespace {

using Clock = std::chrono::steady_clock;

// Polls and drains until an event of this kind for this node comes, or the time is up.
bool WaitForEvent(DeviceMonitor& monitor, DeviceEvent::Kind kind, const std::string& node, std::string* type,
                  std::vector<DeviceEvent>* seen) {
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (Clock::now() < deadline) {
    pollfd pfd{monitor.Fd(), POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (::poll(&pfd, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
    for (const DeviceEvent& event : monitor.Drain()) {
      seen->push_back(event);
      if (event.kind == kind && event.devNode == node) {
        *type = event.devType;
        return true;
      }
    }
  }
  return false;
}

std::string Describe(const std::vector<DeviceEvent>& events) {
  std::string text;
  for (const DeviceEvent& e : events)
    text += std::to_string(static_cast<int>(e.kind)) + " " + e.devNode + " " + e.devType + "\n";
  return text.empty() ? "no events\n" : text;
}

// Detaches the loop device however the test ends.
struct LoopGuard {
  std::string node;
  ~LoopGuard() {
    if (!node.empty()) test::RunCommand("losetup -d " + node + " 2>/dev/null");
  }
};

TEST(DeviceMonitor, ReportsALoopDeviceGettingAndLosingItsBackingFile) {
  const test::LoopDeviceLock loops;
  if (::geteuid() != 0) GTEST_SKIP() << "attaching a loop device needs root";
  if (test::RunCommand("command -v losetup >/dev/null 2>&1") != 0) GTEST_SKIP() << "losetup is not installed";
  DeviceMonitor monitor;
  if (!monitor.Valid()) GTEST_SKIP() << "no uevent monitor could be opened here";

  test::TempDir dir;
  test::WriteFileBytes(dir / "disk.img", std::vector<std::uint8_t>(1024 * 1024, 0));
  LoopGuard loop;
  std::string out;
  if (test::RunCommand("losetup -f --show " + (dir / "disk.img") + " 2>/dev/null", &out) != 0 || out.empty())
    GTEST_SKIP() << "no free loop device";
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  loop.node = out;

  std::vector<DeviceEvent> seen;
  std::string type;
  ASSERT_TRUE(WaitForEvent(monitor, DeviceEvent::Kind::Arrival, loop.node, &type, &seen))
      << "no arrival of " << loop.node << ", saw:\n"
      << Describe(seen);
  EXPECT_EQ(type, "disk");

  ASSERT_EQ(test::RunCommand("losetup -d " + loop.node), 0);
  const std::string node = loop.node;
  loop.node.clear();
  seen.clear();
  ASSERT_TRUE(WaitForEvent(monitor, DeviceEvent::Kind::Removal, node, &type, &seen))
      << "no removal of " << node << ", saw:\n"
      << Describe(seen);
  EXPECT_EQ(type, "disk");
}

TEST(DeviceMonitor, DrainNeverBlocksAndAMovedFromMonitorIsInert) {
  DeviceMonitor monitor;
  if (!monitor.Valid()) GTEST_SKIP() << "no uevent monitor could be opened here";
  const int fd = monitor.Fd();
  ASSERT_GE(fd, 0);
  EXPECT_NE(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  const auto start = Clock::now();
  monitor.Drain();
  monitor.Drain();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));

  DeviceMonitor moved(std::move(monitor));
  EXPECT_TRUE(moved.Valid());
  EXPECT_EQ(moved.Fd(), fd);
  EXPECT_FALSE(monitor.Valid());  // NOLINT(bugprone-use-after-move): the moved-from state is the point
  EXPECT_EQ(monitor.Fd(), -1);
  EXPECT_TRUE(monitor.Drain().empty());

  DeviceMonitor other;
  other = std::move(moved);
  EXPECT_EQ(other.Fd(), fd);
  EXPECT_FALSE(moved.Valid());  // NOLINT(bugprone-use-after-move)
}

}  // namespace
}  // namespace rexmoor
