// `verify`: an EWF image's stored digests against its media read back in full.
#pragma once

#include <functional>
#include <string>

#include "device/container_source.h"

namespace rexmoor {

using ImageVerification = ContainerVerification;

// Reads the whole media of the image at path; progress gets bytes done and total and returns
// false to stop. 0 once read (out says whether the digests match), or a code and a reason.
Result VerifyImage(const std::string& path, ImageVerification& out, std::string& error,
                   const std::function<bool(std::uint64_t, std::uint64_t)>& progress = {});

}  // namespace rexmoor
