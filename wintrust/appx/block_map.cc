#include "wintrust/appx/block_map.h"

#include <expat.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "wintrust/base/library_context.h"

namespace wintrust {
namespace {

constexpr char kNamespace[] = "http://schemas.microsoft.com/appx/2010/blockmap";
// expat joins an element's namespace and local name with this character.
constexpr char kNamespaceSeparator = '|';

const EVP_MD* HashMethod(std::string_view uri) {
  if (uri == "http://www.w3.org/2001/04/xmlenc#sha256") return ThreadDigest(EVP_sha256());
  if (uri == "http://www.w3.org/2001/04/xmldsig-more#sha384") return ThreadDigest(EVP_sha384());
  if (uri == "http://www.w3.org/2001/04/xmlenc#sha512") return ThreadDigest(EVP_sha512());
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

// A decimal number without sign or spaces, below 2^63 (digits stop being
// taken past 2^59, so the product cannot wrap).
bool ParseSize(const XML_Char* text, uint64_t* value) {
  if (text == nullptr || *text == '\0') return false;
  *value = 0;
  for (const XML_Char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9' || *value > (uint64_t{1} << 59)) return false;
    *value = *value * 10 + static_cast<uint64_t>(*c - '0');
  }
  return true;
}

// The base64 text of one hash of `expected` bytes, padded, nothing else in
// it: OpenSSL's decoder skips white space, which a hash has none of.
bool DecodeHash(const XML_Char* text, size_t expected, Bytes* hash) {
  if (text == nullptr) return false;
  const size_t length = std::strlen(text);
  if (length == 0 || length % 4 != 0 || length > 4 * ((EVP_MAX_MD_SIZE + 2) / 3) ||
      std::strcspn(text, " \t\r\n") != length) {
    return false;
  }
  std::unique_ptr<EVP_ENCODE_CTX, decltype(&EVP_ENCODE_CTX_free)> context(EVP_ENCODE_CTX_new(), EVP_ENCODE_CTX_free);
  if (!context) return false;
  Bytes decoded(length / 4 * 3);
  int written = 0;
  int last = 0;
  EVP_DecodeInit(context.get());
  if (EVP_DecodeUpdate(context.get(), decoded.data(), &written, reinterpret_cast<const unsigned char*>(text),
                       static_cast<int>(length)) < 0 ||
      EVP_DecodeFinal(context.get(), decoded.data() + written, &last) != 1) {
    return false;
  }
  if (static_cast<size_t>(written + last) != expected) return false;
  decoded.resize(expected);
  *hash = std::move(decoded);
  return true;
}

}  // namespace

struct BlockMapReader::State {
  XML_Parser parser = nullptr;
  bool failed = false;
  bool sawRoot = false;
  int depth = 0;
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
      if (file->blocks.size() * kBlockMapBlockSize >= file->size) return Fail();
      BlockMapBlock block;
      if (!DecodeHash(Attribute(attributes, "Hash"), static_cast<size_t>(EVP_MD_get_size(map.md)), &block.hash)) {
        return Fail();
      }
      if (const XML_Char* size = Attribute(attributes, "Size"); size != nullptr) {
        uint64_t value = 0;
        if (!ParseSize(size, &value)) return Fail();
        block.compressedSize = value;
      }
      file->blocks.push_back(std::move(block));
    } else {
      // Anything else, of any namespace at any depth, is structure the map
      // has none of; refusing it at once also bounds the parser's stack.
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

std::string FoldAsciiCase(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

uint8_t* BlockMapReader::Buffer(uint64_t size) {
  if (state_->failed || size > kMaxBlockMapSize) return nullptr;
  size_ = size;
  // Never null for a size of 0, which expat would answer so.
  return static_cast<uint8_t*>(XML_GetBuffer(state_->parser, static_cast<int>(size) + 1));
}

bool BlockMapReader::Parse(BlockMap* map) {
  if (state_->failed || XML_ParseBuffer(state_->parser, static_cast<int>(size_), XML_TRUE) != XML_STATUS_OK ||
      state_->failed || !state_->sawRoot) {
    return false;
  }
  std::vector<std::string> folded;
  for (const auto& [name, file] : state_->map.files) {
    if (file.blocks.size() != (file.size + kBlockMapBlockSize - 1) / kBlockMapBlockSize) return false;
    folded.push_back(FoldAsciiCase(name));
  }
  // Names equal apart from case would be one file where the package is
  // installed.
  std::sort(folded.begin(), folded.end());
  if (std::adjacent_find(folded.begin(), folded.end()) != folded.end()) return false;
  *map = std::move(state_->map);
  return true;
}

}  // namespace wintrust
