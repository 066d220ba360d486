#include "wintrust/appx/block_map.h"

#include <expat.h>
#include <openssl/evp.h>

#include <cstring>
#include <string_view>

namespace wintrust {
namespace {

constexpr char kNamespace[] = "http://schemas.microsoft.com/appx/2010/blockmap";
// expat joins an element's namespace and local name with this character.
constexpr char kNamespaceSeparator = '|';

const EVP_MD* HashMethod(std::string_view uri) {
  if (uri == "http://www.w3.org/2001/04/xmlenc#sha256") return EVP_sha256();
  if (uri == "http://www.w3.org/2001/04/xmldsig-more#sha384") return EVP_sha384();
  if (uri == "http://www.w3.org/2001/04/xmlenc#sha512") return EVP_sha512();
  return nullptr;
}

// The local name of a block map element; empty for elements of other
// namespaces.
std::string_view LocalName(const XML_Char* name) {
  std::string_view full(name);
  const size_t separator = full.find(kNamespaceSeparator);
  if (separator == std::string_view::npos || full.substr(0, separator) != kNamespace) return {};
  return full.substr(separator + 1);
}

const XML_Char* Attribute(const XML_Char** attributes, std::string_view name) {
  for (size_t i = 0; attributes[i] != nullptr; i += 2) {
    if (name == attributes[i]) return attributes[i + 1];
  }
  return nullptr;
}

// A decimal number without sign or spaces, at most 2^63.
bool ParseSize(const XML_Char* text, uint64_t* value) {
  if (text == nullptr || *text == '\0') return false;
  *value = 0;
  for (const XML_Char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9' || *value > (uint64_t{1} << 59)) return false;
    *value = *value * 10 + static_cast<uint64_t>(*c - '0');
  }
  return true;
}

bool DecodeHash(const XML_Char* text, size_t expected, Bytes* hash) {
  if (text == nullptr) return false;
  const size_t length = std::strlen(text);
  if (length == 0 || length % 4 != 0 || length > 4 * ((EVP_MAX_MD_SIZE + 2) / 3)) return false;
  Bytes decoded(length / 4 * 3);
  const int written =
      EVP_DecodeBlock(decoded.data(), reinterpret_cast<const unsigned char*>(text), static_cast<int>(length));
  if (written < 0) return false;
  // EVP_DecodeBlock counts the padding as zero bytes.
  size_t size = static_cast<size_t>(written);
  for (size_t i = length; i > 0 && text[i - 1] == '='; --i) --size;
  if (size != expected) return false;
  decoded.resize(size);
  *hash = std::move(decoded);
  return true;
}

}  // namespace

struct BlockMapReader::State {
  XML_Parser parser = nullptr;
  bool failed = false;
  bool sawRoot = false;
  int depth = 0;
  uint64_t fed = 0;
  BlockMap map;
  BlockMapFile* file = nullptr;  // the File element being read

  void Fail() {
    failed = true;
    XML_StopParser(parser, XML_FALSE);
  }

  void Start(const XML_Char* name, const XML_Char** attributes) {
    ++depth;
    const std::string_view local = LocalName(name);
    if (depth == 1) {
      const XML_Char* method = Attribute(attributes, "HashMethod");
      map.md = method == nullptr ? nullptr : HashMethod(method);
      if (local != "BlockMap" || map.md == nullptr) return Fail();
      sawRoot = true;
    } else if (depth == 2 && local == "File") {
      const XML_Char* fileName = Attribute(attributes, "Name");
      BlockMapFile entry;
      if (fileName == nullptr || !ParseSize(Attribute(attributes, "Size"), &entry.size) ||
          !ParseSize(Attribute(attributes, "LfhSize"), &entry.localHeaderSize)) {
        return Fail();
      }
      auto [it, added] = map.files.emplace(fileName, std::move(entry));
      if (!added) return Fail();
      file = &it->second;
    } else if (depth == 3 && local == "Block" && file != nullptr) {
      // Each block but the last holds 64 KiB; more blocks than the size
      // needs are refused before they are kept.
      if (file->blockHashes.size() * kBlockMapBlockSize >= file->size) return Fail();
      Bytes hash;
      if (!DecodeHash(Attribute(attributes, "Hash"), static_cast<size_t>(EVP_MD_get_size(map.md)), &hash)) {
        return Fail();
      }
      file->blockHashes.push_back(std::move(hash));
    } else if (depth <= 3 && !LocalName(name).empty()) {
      // An element of the block map where the map has none.
      return Fail();
    }
  }

  void End() {
    if (depth == 2) file = nullptr;
    --depth;
  }
};

namespace {

void XMLCALL OnStart(void* data, const XML_Char* name, const XML_Char** attributes) {
  static_cast<BlockMapReader::State*>(data)->Start(name, attributes);
}

void XMLCALL OnEnd(void* data, const XML_Char*) {
  static_cast<BlockMapReader::State*>(data)->End();
}

// A document type declaration could define entities; a block map has none.
void XMLCALL OnDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
  static_cast<BlockMapReader::State*>(data)->Fail();
}

}  // namespace

BlockMapReader::BlockMapReader() : state_(std::make_unique<State>()) {
  state_->parser = XML_ParserCreateNS(nullptr, kNamespaceSeparator);
  if (state_->parser == nullptr) {
    state_->failed = true;
    return;
  }
  XML_SetUserData(state_->parser, state_.get());
  XML_SetElementHandler(state_->parser, OnStart, OnEnd);
  XML_SetStartDoctypeDeclHandler(state_->parser, OnDoctype);
}

BlockMapReader::~BlockMapReader() {
  if (state_->parser != nullptr) XML_ParserFree(state_->parser);
}

bool BlockMapReader::Feed(ByteView piece) {
  if (state_->failed) return false;
  state_->fed += piece.size();
  if (state_->fed > kMaxBlockMapSize || piece.size() > static_cast<size_t>(INT32_MAX)) {
    state_->failed = true;
    return false;
  }
  if (XML_Parse(state_->parser, reinterpret_cast<const char*>(piece.data()), static_cast<int>(piece.size()),
                XML_FALSE) != XML_STATUS_OK) {
    state_->failed = true;
  }
  return !state_->failed;
}

bool BlockMapReader::Finish(BlockMap* map) {
  if (state_->failed || XML_Parse(state_->parser, nullptr, 0, XML_TRUE) != XML_STATUS_OK || state_->failed ||
      !state_->sawRoot) {
    return false;
  }
  for (const auto& [name, file] : state_->map.files) {
    if (file.blockHashes.size() != (file.size + kBlockMapBlockSize - 1) / kBlockMapBlockSize) return false;
  }
  *map = std::move(state_->map);
  return true;
}

}  // namespace wintrust
