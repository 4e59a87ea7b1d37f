// OpenSSL's digests (libcrypto), loaded when something is first hashed: a scan hashes nothing.
#pragma once

#include <openssl/evp.h>

#include "platform/lazy_library.h"

namespace rexmoor {

REXMOOR_LAZY_LIBRARY(LibCrypto, "libcrypto.so.3")

REXMOOR_LAZY_FUNCTION(LibCrypto(), EVP_MD_CTX_new);
REXMOOR_LAZY_FUNCTION(LibCrypto(), EVP_MD_CTX_free);
REXMOOR_LAZY_FUNCTION(LibCrypto(), EVP_DigestInit_ex);
REXMOOR_LAZY_FUNCTION(LibCrypto(), EVP_DigestUpdate);
REXMOOR_LAZY_FUNCTION(LibCrypto(), EVP_DigestFinal_ex);
REXMOOR_LAZY_FUNCTION(LibCrypto(), EVP_sha256);
REXMOOR_LAZY_FUNCTION(LibCrypto(), EVP_sha1);
REXMOOR_LAZY_FUNCTION(LibCrypto(), EVP_md5);

}  // namespace rexmoor
