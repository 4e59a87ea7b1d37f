#pragma once

#include <string>
#include <vector>

namespace rexmoor::cli {

inline constexpr int kExitDone = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitCancelled = 130;

int RunDetect(const std::vector<std::string>& args);
int RunScan(const std::vector<std::string>& args);
int RunRecover(const std::vector<std::string>& args);
int RunTree(const std::vector<std::string>& args);
int RunIdentify(const std::vector<std::string>& args);

}  // namespace rexmoor::cli
