// A block device read through udisks2 as a desktop user's program reads it: a private bus, a
// stand-in daemon on it that hands out descriptors (or refuses, as polkit would), and rexmoor
// pointed at that bus. Needs root for the loop devices; skipped otherwise.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "cli/cli_json.h"
#include "fixtures/fixture_paths.h"
#include "test_support.h"

namespace rexmoor {
namespace {

using test::FixturePath;
using test::JsonLines;
using test::OrderedJson;

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// A read-only loop device over an image; detached at the end.
struct LoopDevice {
  std::string path;
  explicit LoopDevice(const std::string& image) {
    std::string out;
    if (test::RunCommand("losetup -r -f --show '" + image + "' 2>/dev/null", &out) == 0) path = Trimmed(out);
  }
  ~LoopDevice() {
    if (!path.empty()) test::RunCommand("losetup -d " + path);
  }
};

// dbus-daemon on a socket of its own, and the stand-in on it; both ended at the end.
class PrivateBus {
 public:
  explicit PrivateBus(const std::string& folder) : folder_(folder) {
    address_ = "unix:path=" + folder + "/bus";
    std::ofstream(folder + "/bus.conf")
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>session</type><listen>" + address_ + "</listen><auth>EXTERNAL</auth>\n"
           "<policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/><allow send_destination=\"*\"/>"
           "<allow receive_sender=\"*\"/></policy></busconfig>\n";
    started_ = test::RunCommand("dbus-daemon --config-file='" + folder + "/bus.conf' --fork --print-pid > '" + folder +
                                "/bus.pid' 2>/dev/null") == 0;
  }
  ~PrivateBus() {
    if (!standinPid_.empty()) test::RunCommand("kill " + standinPid_ + " 2>/dev/null");
    std::string pid;
    if (test::RunCommand("cat '" + folder_ + "/bus.pid'", &pid) == 0 && !Trimmed(pid).empty())
      test::RunCommand("kill " + Trimmed(pid) + " 2>/dev/null");
  }
  bool Started() const { return started_; }
  const std::string& Address() const { return address_; }
  std::string Log() const { return folder_ + "/standin.log"; }

  // Starts the stand-in serving these devices (and refusing those after --refuse); waits until it
  // owns its name.
  bool StartStandIn(const std::string& devices) {
    std::string pid;
    if (test::RunCommand(std::string(REXMOOR_UDISKS_STANDIN) + " '" + address_ + "' '" + Log() + "' " + devices +
                             " >/dev/null 2>&1 & echo $!",
                         &pid) != 0)
      return false;
    standinPid_ = Trimmed(pid);
    for (int i = 0; i < 100; ++i) {
      if (LogText().find("ready") != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  std::string LogText() const {
    std::string text;
    test::RunCommand("cat '" + Log() + "' 2>/dev/null", &text);
    return text;
  }

 private:
  std::string folder_;
  std::string address_;
  std::string standinPid_;
  bool started_ = false;
};

struct Outcome {
  int status = 0;
  std::string out;
};

Outcome Rexmoor(const std::string& args, const std::string& env = "") {
  Outcome r;
  r.status = test::RunCommand(env + " " REXMOOR_CLI_PATH " " + args + " 2>&1", &r.out);
  return r;
}

// What a listing says of each file, without the source it names.
std::multiset<std::string> Files(const std::string& jsonLines) {
  std::multiset<std::string> files;
  // Errors come on the same stream: only the JSON lines are files.
  std::string json;
  std::istringstream lines(jsonLines);
  for (std::string line; std::getline(lines, line);)
    if (!line.empty() && line.front() == '{') json += line + "\n";
  for (const OrderedJson& line : JsonLines(json)) {
    if (!line.contains("name")) continue;
    files.insert(line.at("folder").get<std::string>() + line.at("name").get<std::string>() + " " +
                 std::to_string(line.at("size").get<std::uint64_t>()) + " " + line.at("id").dump());
  }
  return files;
}

TEST(UdisksOpen, ADeviceReadThroughTheDaemonGivesTheImagesResultsAndARefusalIsClear) {
  if (::geteuid() != 0) GTEST_SKIP() << "loop devices need root";
  const std::string image = FixturePath("fat32.img");
  LoopDevice served(image);
  LoopDevice refused(image);
  if (served.path.empty() || refused.path.empty()) GTEST_SKIP() << "no loop devices here";
  test::TempDir work;
  PrivateBus bus(work.path());
  ASSERT_TRUE(bus.Started()) << "dbus-daemon did not start";
  const std::string env = "DBUS_SYSTEM_BUS_ADDRESS='" + bus.Address() + "'";
  const std::string common = " --quick --format json --data-dir '" + (work / "data") + "'";

  // No daemon on the bus yet: a clear error, nothing listed.
  Outcome missing = Rexmoor("scan " + served.path + " --udisks" + common, env);
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.out.find("udisks2 is not installed or not running"), std::string::npos) << missing.out;
  EXPECT_TRUE(Files(missing.out).empty());

  ASSERT_TRUE(bus.StartStandIn(served.path + " --refuse " + refused.path)) << bus.LogText();
  const Outcome direct = Rexmoor("scan '" + image + "'" + common);
  ASSERT_EQ(direct.status, 0) << direct.out;
  const Outcome through = Rexmoor("scan " + served.path + " --udisks" + common, env);
  ASSERT_EQ(through.status, 0) << through.out;
  EXPECT_FALSE(Files(direct.out).empty());
  EXPECT_EQ(Files(through.out), Files(direct.out));
  // The device was opened by the daemon, read-only, and not by us.
  EXPECT_NE(bus.LogText().find("OpenDevice " + served.path + " r"), std::string::npos) << bus.LogText();

  // Recovery through it writes the same files.
  const Outcome recovered = Rexmoor("recover " + served.path + " --udisks --quick --no-report --to '" + (work / "out") +
                                    "' --data-dir '" + (work / "data") + "'", env);
  EXPECT_EQ(recovered.status, 0) << recovered.out;
  std::string sums, expected;
  test::RunCommand("cd '" + (work / "out") + "' && find . -type f -exec sha256sum {} + | sort", &sums);
  Rexmoor("recover '" + image + "' --quick --no-report --to '" + (work / "plain") + "' --data-dir '" + (work / "data") + "'");
  test::RunCommand("cd '" + (work / "plain") + "' && find . -type f -exec sha256sum {} + | sort", &expected);
  EXPECT_FALSE(expected.empty());
  EXPECT_EQ(sums, expected);

  // polkit's refusal: the plain message, no files.
  const Outcome denied = Rexmoor("scan " + refused.path + " --udisks" + common, env);
  EXPECT_EQ(denied.status, 1);
  EXPECT_NE(denied.out.find("udisks2 did not allow reading " + refused.path), std::string::npos) << denied.out;
  EXPECT_TRUE(Files(denied.out).empty());
}

}  // namespace
}  // namespace rexmoor
