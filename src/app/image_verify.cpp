#include "app/image_verify.h"

namespace rexmoor {

Result VerifyImage(const std::string& path, ImageVerification& out, std::string& error,
                   const std::function<bool(std::uint64_t, std::uint64_t)>& progress) {
  return VerifyContainer(path, out, error, progress);
}

}  // namespace rexmoor
