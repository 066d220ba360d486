// AppxBlockMap.xml: the hash method of a package and, for each of its files,
// the uncompressed size, the size of its local ZIP header and the hash of
// every 64 KiB block of its uncompressed bytes, with the block's compressed
// size for a deflated file. Collected whole into expat's own buffer and
// parsed in one call: expat fed in pieces parses an unfinished token again
// with every piece, so one long attribute would cost its length squared.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "wintrust/base/byte_view.h"

namespace wintrust {

constexpr uint64_t kBlockMapBlockSize = uint64_t{64} << 10;
// The largest block map read: a map of a package of many gigabytes is a few
// megabytes.
constexpr uint64_t kMaxBlockMapSize = uint64_t{64} << 20;

struct BlockMapBlock {
  Bytes hash;
  // The Size attribute: the block's length in the deflated stream.
  std::optional<uint64_t> compressedSize;
};

struct BlockMapFile {
  uint64_t size = 0;
  uint64_t localHeaderSize = 0;  // the LfhSize attribute: "local file header"
  std::vector<BlockMapBlock> blocks;
};

struct BlockMap {
  const EVP_MD* md = nullptr;
  // By name as the map writes it: '\' between folders.
  std::map<std::string, BlockMapFile> files;
};

// `name` with ASCII letters in lower case: how names equal apart from case
// are found.
std::string FoldAsciiCase(std::string_view name);

// Parses a block map of a size known before it is read. Fails on XML that
// does not parse, on a document type declaration, on any element but
// BlockMap, File and Block (of the block map's namespace, each at its own
// depth), on an attribute of them missing or malformed, on a hash method
// other than SHA-256, SHA-384 or SHA-512, on a file named twice, and on more
// or fewer blocks than a file's size needs.
class BlockMapReader {
 public:
  BlockMapReader();
  ~BlockMapReader();
  BlockMapReader(const BlockMapReader&) = delete;
  BlockMapReader& operator=(const BlockMapReader&) = delete;

  // Room for the whole document of `size` bytes, to be filled before Parse;
  // null when it is over kMaxBlockMapSize or cannot be had.
  uint8_t* Buffer(uint64_t size);
  // Parses the document in the buffer; true and the map in `map` when it
  // reads.
  bool Parse(BlockMap* map);

  struct State;

 private:
  std::unique_ptr<State> state_;
  uint64_t size_ = 0;
};

}  // namespace wintrust
