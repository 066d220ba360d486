// A small driver for counting instructions with callgrind: hashes a buffer
// with one chosen block function, inside HashWithVariant, so that
//   valgrind --tool=callgrind --toggle-collect='*HashWith*'
//            sha1_instruction_count Sha1BlockAvx2 16
// counts exactly the hashing (Init, Reset, Update, Final and every block), not
// the setup. Prints the digest so that the work cannot be optimised away.
//
// BLOCK_FUNCTION may also be OpenSsl: OpenSSL's SHA-1 over the same bytes,
// for comparison (run it with OPENSSL_ia32cap=0:0 for its scalar code).
//
// Usage: sha1_instruction_count BLOCK_FUNCTION [MEBIBYTES]
#include <openssl/evp.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "sha1/block_functions.h"
#include "sha1/block_selection.h"
#include "sha1/sha1.h"

namespace {

__attribute__((noinline)) void HashWithVariant(Sha1BlockFunction function, const uint8_t* data, uint32_t length,
                                               uint8_t* digest) {
  Sha1Hasher hasher = {};
  hasher.Init();
  hasher.blockFunction = function;
  hasher.Reset();
  hasher.Update(data, length);
  hasher.Final(digest);
}

__attribute__((noinline)) void HashWithOpenSsl(const uint8_t* data, uint32_t length, uint8_t* digest) {
  EVP_Digest(data, length, digest, nullptr, EVP_sha1(), nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: %s BLOCK_FUNCTION [MEBIBYTES]\n", argv[0]);
    return 2;
  }
  const bool openSsl = strcmp(argv[1], "OpenSsl") == 0;
  const Sha1BlockVariant* variant = nullptr;
  for (const Sha1BlockVariant& candidate : kSha1BlockVariants) {
    if (strcmp(candidate.name, argv[1]) == 0) variant = &candidate;
  }
  if (variant == nullptr && !openSsl) {
    fprintf(stderr, "unknown block function %s\n", argv[1]);
    return 2;
  }
  SelectSha1BlockFunction();
  if (variant != nullptr && !Allows(UsableCpuFeatureFlags, *variant)) {
    fprintf(stderr, "this machine cannot run %s\n", variant->name);
    return 3;
  }
  long mebibytes = argc == 3 ? strtol(argv[2], nullptr, 10) : 16;
  if (mebibytes <= 0 || mebibytes > 1024) {
    fprintf(stderr, "MEBIBYTES must be 1 to 1024\n");
    return 2;
  }

  std::vector<uint8_t> data(static_cast<size_t>(mebibytes) << 20);
  uint32_t state = 1;
  for (uint8_t& byte : data) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<uint8_t>(state >> 24);
  }
  uint8_t digest[20];
  // OpenSSL sets itself up on first use; that belongs to neither count, so it
  // happens outside the counted functions.
  EVP_Digest(data.data(), 64, digest, nullptr, EVP_sha1(), nullptr);
  if (openSsl) {
    HashWithOpenSsl(data.data(), static_cast<uint32_t>(data.size()), digest);
  } else {
    HashWithVariant(variant->function, data.data(), static_cast<uint32_t>(data.size()), digest);
  }
  printf("%s %zu bytes ", argv[1], data.size());
  for (uint8_t byte : digest) printf("%02x", byte);
  printf("\n");
  return 0;
}
