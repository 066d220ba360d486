// AppxBlockMap.xml: the hash method of a package and, for each of its files,
// the uncompressed size, the size of its local ZIP header and the hash of
// every 64 KiB block of its uncompressed bytes. Read with expat, fed piece
// by piece as the file is inflated.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "wintrust/base/byte_view.h"

namespace wintrust {

constexpr uint64_t kBlockMapBlockSize = uint64_t{64} << 10;
// The largest block map read: a map of a package of many gigabytes is a few
// megabytes.
constexpr uint64_t kMaxBlockMapSize = uint64_t{64} << 20;

struct BlockMapFile {
  uint64_t size = 0;
  uint64_t localHeaderSize = 0;
  std::vector<Bytes> blockHashes;
};

struct BlockMap {
  const EVP_MD* md = nullptr;
  // By name as the map writes it: '\' between folders.
  std::map<std::string, BlockMapFile> files;
};

// Parses a block map fed in pieces. Fails (and stays failed) on XML that
// does not parse, on a document type declaration, on an element or
// attribute of the block map missing or malformed, on a hash method other
// than SHA-256, SHA-384 or SHA-512, on a file named twice, and on more
// blocks than a file's size needs.
class BlockMapReader {
 public:
  BlockMapReader();
  ~BlockMapReader();
  BlockMapReader(const BlockMapReader&) = delete;
  BlockMapReader& operator=(const BlockMapReader&) = delete;

  bool Feed(ByteView piece);
  // Ends the document; true when the whole map was read and every file has
  // the blocks its size needs. The map is then in `map`.
  bool Finish(BlockMap* map);

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace wintrust
