#include "wintrust/appx/appx_subject.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <functional>
#include <string>
#include <vector>

namespace wintrust {
namespace {

constexpr size_t kBlock = size_t{64} << 10;

struct TestFile {
  std::string name;  // as the ZIP stores it
  Bytes data;
  bool deflated = false;
};

// A package to build: its payload files, its block map as text (made from
// the files and then edited), and how its records are laid out.
struct PackageSpec {
  std::vector<TestFile> files;
  std::function<void(std::string*)> editMap;
  std::string contentTypes = "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\"/>";
  bool signatureFirst = false;
  bool signatureDescriptor = false;  // its CRC-32 and sizes after its data
  size_t gapAfter = SIZE_MAX;        // a zero byte after this record
  bool zip64 = false;
};

// What was built: the package and, per entry in directory order (the
// payload, the block map, the content types, the signature), where its local
// header and its directory record are.
struct Built {
  Bytes bytes;
  std::vector<uint64_t> local;
  std::vector<uint64_t> central;
  uint64_t end = 0;  // the classic end record
};

// Raw deflate data compressed block by block as packaging tools write it,
// and each block's compressed length.
Bytes Deflate(const Bytes& data, std::vector<size_t>* sizes) {
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, 1, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
  Bytes out;
  size_t start = 0;
  do {
    const size_t length = std::min(kBlock, data.size() - start);
    const bool last = start + length == data.size();
    stream.next_in = const_cast<uint8_t*>(data.data() + start);
    stream.avail_in = static_cast<uInt>(length);
    const size_t before = out.size();
    int result = Z_OK;
    do {
      uint8_t buffer[4096];
      stream.next_out = buffer;
      stream.avail_out = sizeof buffer;
      result = deflate(&stream, last ? Z_FINISH : Z_FULL_FLUSH);
      out.insert(out.end(), buffer, buffer + (sizeof buffer - stream.avail_out));
    } while (last ? result != Z_STREAM_END : stream.avail_out == 0);
    if (length > 0) sizes->push_back(out.size() - before);
    start += length;
  } while (start < data.size());
  deflateEnd(&stream);
  return out;
}

std::string Base64(const uint8_t* bytes, size_t size) {
  std::string out(4 * ((size + 2) / 3) + 1, '\0');
  out.resize(
      static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<uint8_t*>(out.data()), bytes, static_cast<int>(size))));
  return out;
}

std::string MapName(const std::string& zipName) {
  std::string name;
  for (size_t i = 0; i < zipName.size(); ++i) {
    if (zipName[i] == '%') {
      name.push_back(static_cast<char>(std::stoi(zipName.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else {
      name.push_back(zipName[i] == '/' ? '\\' : zipName[i]);
    }
  }
  return name;
}

Built Build(const PackageSpec& spec) {
  std::string map =
      "<BlockMap xmlns=\"http://schemas.microsoft.com/appx/2010/blockmap\" "
      "HashMethod=\"http://www.w3.org/2001/04/xmlenc#sha256\">";
  for (const TestFile& file : spec.files) {
    map += "<File Name=\"" + MapName(file.name) + "\" Size=\"" + std::to_string(file.data.size()) + "\" LfhSize=\"" +
           std::to_string(30 + file.name.size()) + "\">";
    std::vector<size_t> sizes;
    if (file.deflated) Deflate(file.data, &sizes);
    for (size_t at = 0, i = 0; at < file.data.size(); at += kBlock, ++i) {
      uint8_t hash[32];
      EVP_Digest(file.data.data() + at, std::min(kBlock, file.data.size() - at), hash, nullptr, EVP_sha256(), nullptr);
      map += "<Block Hash=\"" + Base64(hash, 32) + "\"" +
             (file.deflated ? " Size=\"" + std::to_string(sizes[i]) + "\"" : "") + "/>";
    }
    map += "</File>";
  }
  map += "</BlockMap>";
  if (spec.editMap) spec.editMap(&map);
  std::vector<TestFile> entries = spec.files;
  entries.push_back({"AppxBlockMap.xml", Bytes(map.begin(), map.end()), true});
  entries.push_back({"[Content_Types].xml", Bytes(spec.contentTypes.begin(), spec.contentTypes.end()), true});
  TestFile signature{"AppxSignature.p7x", {'P', 'K', 'C', 'X', 0x30, 0x03, 0x02, 0x01, 0x00}, false};
  entries.insert(spec.signatureFirst ? entries.begin() : entries.end(), signature);

  Built built;
  Bytes directory;
  for (size_t i = 0; i < entries.size(); ++i) {
    const TestFile& file = entries[i];
    std::vector<size_t> sizes;
    const Bytes stored = file.deflated ? Deflate(file.data, &sizes) : file.data;
    const uint32_t crc = static_cast<uint32_t>(crc32_z(0, file.data.data(), file.data.size()));
    const bool descriptor = spec.signatureDescriptor && file.name == "AppxSignature.p7x";
    Bytes fields;  // shared by the local header and the directory record
    for (auto [value, width] : std::initializer_list<std::pair<uint64_t, size_t>>{{20, 2},
                                                                                  {descriptor ? 8u : 0u, 2},
                                                                                  {file.deflated ? 8u : 0u, 2},
                                                                                  {0, 4},
                                                                                  {crc, 4},
                                                                                  {stored.size(), 4},
                                                                                  {file.data.size(), 4},
                                                                                  {file.name.size(), 2},
                                                                                  {0, 2}}) {
      AppendLe(&fields, value, width);
    }
    built.local.push_back(built.bytes.size());
    built.central.push_back(directory.size());
    AppendLe(&directory, 0x02014B50, 4);
    AppendLe(&directory, 20, 2);
    directory.insert(directory.end(), fields.begin(), fields.end());
    AppendLe(&directory, 0, 2);  // no comment
    AppendLe(&directory, 0, 8);  // disk, attributes
    AppendLe(&directory, built.bytes.size(), 4);
    directory.insert(directory.end(), file.name.begin(), file.name.end());
    AppendLe(&built.bytes, 0x04034B50, 4);
    built.bytes.insert(built.bytes.end(), fields.begin(), fields.end());
    built.bytes.insert(built.bytes.end(), file.name.begin(), file.name.end());
    built.bytes.insert(built.bytes.end(), stored.begin(), stored.end());
    if (descriptor) {
      for (uint64_t value :
           {uint64_t{0x08074B50}, uint64_t{crc}, uint64_t{stored.size()}, uint64_t{file.data.size()}}) {
        AppendLe(&built.bytes, value, 4);
      }
    }
    if (i == spec.gapAfter) built.bytes.push_back(0);
  }
  const uint64_t directoryOffset = built.bytes.size();
  for (uint64_t& offset : built.central) offset += directoryOffset;
  built.bytes.insert(built.bytes.end(), directory.begin(), directory.end());
  if (spec.zip64) {
    const uint64_t record = built.bytes.size();
    for (auto [value, width] : std::initializer_list<std::pair<uint64_t, size_t>>{{0x06064B50, 4},
                                                                                  {44, 8},
                                                                                  {45, 2},
                                                                                  {45, 2},
                                                                                  {0, 8},
                                                                                  {entries.size(), 8},
                                                                                  {entries.size(), 8},
                                                                                  {directory.size(), 8},
                                                                                  {directoryOffset, 8},
                                                                                  {0x07064B50, 4},
                                                                                  {0, 4},
                                                                                  {record, 8},
                                                                                  {1, 4}}) {
      AppendLe(&built.bytes, value, width);
    }
  }
  built.end = built.bytes.size();
  AppendLe(&built.bytes, 0x06054B50, 4);
  AppendLe(&built.bytes, 0, 4);
  AppendLe(&built.bytes, spec.zip64 ? 0xFFFF : entries.size(), 2);
  AppendLe(&built.bytes, spec.zip64 ? 0xFFFF : entries.size(), 2);
  AppendLe(&built.bytes, spec.zip64 ? 0xFFFFFFFF : directory.size(), 4);
  AppendLe(&built.bytes, spec.zip64 ? 0xFFFFFFFF : directoryOffset, 4);
  AppendLe(&built.bytes, 0, 2);
  return built;
}

// What verification would hear from the subject: the opener's answer, or
// the digest's.
SubjectStatus DigestStatus(const Bytes& package) {
  MemorySource source(package);
  std::unique_ptr<Subject> subject;
  SubjectStatus status = OpenAppxSubject(source, &subject);
  if (status != SubjectStatus::kOk) return status;
  Bytes digest;
  return subject->ComputeDigest(EVP_sha256(), &digest);
}

// Letters that deflate shrinks, and no two blocks alike.
Bytes Text(size_t size, uint32_t seed) {
  Bytes out(size);
  for (uint8_t& c : out) {
    seed = seed * 1103515245 + 12345;
    c = static_cast<uint8_t>('a' + (seed >> 16) % 8);
  }
  return out;
}

std::vector<TestFile> Payload() {
  return {{"Assets/payload.bin", Text(3 * kBlock + 1000, 1), true},
          {"readme.txt", Text(500, 2), false},
          {"my%20notes.txt", Text(kBlock, 3), true}};
}

void Replace(std::string* text, const std::string& from, const std::string& to) {
  const size_t at = text->find(from);
  ASSERT_NE(at, std::string::npos) << from;
  text->replace(at, from.size(), to);
}

// The first Block's Size attribute: its value, and where it is.
size_t FirstBlockSize(const std::string& map, size_t* at) {
  *at = map.find("Size=\"", map.find("<Block ")) + 6;
  return std::stoul(map.substr(*at));
}

// Adds `by` to the first Block's Size and, when `keepSum`, takes it from the
// second's.
void ShiftFirstBlockSize(std::string* map, int by, bool keepSum) {
  size_t first = 0;
  const size_t size = FirstBlockSize(*map, &first);
  const size_t second = map->find("Size=\"", first) + 6;
  const size_t next = std::stoul(map->substr(second));
  if (keepSum) map->replace(second, std::to_string(next).size(), std::to_string(next - static_cast<size_t>(by)));
  map->replace(first, std::to_string(size).size(), std::to_string(size + static_cast<size_t>(by)));
}

TEST(AppxSubjectTest, EachRuleOfThePackageGivesItsStatus) {
  using S = SubjectStatus;
  struct Row {
    const char* what;
    std::function<void(PackageSpec*)> shape;
    std::function<void(Built*)> change;
    SubjectStatus status;
  };
  const auto files = [](std::vector<TestFile> more) {
    return [more](PackageSpec* spec) { spec->files.insert(spec->files.end(), more.begin(), more.end()); };
  };
  const auto map = [](std::function<void(std::string*)> edit) {
    return [edit](PackageSpec* spec) { spec->editMap = edit; };
  };
  const auto put = [](size_t entry, bool local, uint64_t offset, uint64_t value, int width) {
    return [=](Built* built) {
      const uint64_t at = (local ? built->local : built->central)[entry] + offset;
      if (width == 1) built->bytes[at] = static_cast<uint8_t>(value);
      if (width == 2) PutLe16(&built->bytes, at, static_cast<uint16_t>(value));
      if (width == 4) PutLe32(&built->bytes, at, static_cast<uint32_t>(value));
    };
  };
  const Row rows[] = {
      {"an honest package", nullptr, nullptr, S::kOk},
      {"an honest package with ZIP64 end records", [](PackageSpec* s) { s->zip64 = true; }, nullptr, S::kOk},
      {"the signature's CRC-32 and sizes in a data descriptor", [](PackageSpec* s) { s->signatureDescriptor = true; },
       nullptr, S::kOk},
      {"a descriptor that differs from the directory", [](PackageSpec* s) { s->signatureDescriptor = true; },
       [](Built* b) { b->bytes[b->central[0] - 4] ^= 1; }, S::kNotThisFormat},
      // Every byte accounted for.
      {"a byte between two records", [](PackageSpec* s) { s->gapAfter = 1; }, nullptr, S::kNotThisFormat},
      {"a byte after the last record", [](PackageSpec* s) { s->gapAfter = 5; }, nullptr, S::kNotThisFormat},
      {"a record over the next one", nullptr, put(1, false, 42, 0, 4), S::kNotThisFormat},
      {"the records in another order than the directory's", nullptr,
       [](Built* b) {
         const uint64_t first = *ReadLe32(b->bytes, b->central[0] + 42);
         PutLe32(&b->bytes, b->central[0] + 42, *ReadLe32(b->bytes, b->central[1] + 42));
         PutLe32(&b->bytes, b->central[1] + 42, static_cast<uint32_t>(first));
       },
       S::kNotThisFormat},
      {"the block map's data running over the content types", nullptr, put(3, false, 20, 0x4000, 4), S::kNotThisFormat},
      {"the signature's record first", [](PackageSpec* s) { s->signatureFirst = true; }, nullptr, S::kNotThisFormat},
      // Local headers against the directory.
      {"a local header under another name", nullptr, put(1, true, 30, 'R', 1), S::kNotThisFormat},
      {"a local header with another method", nullptr, put(1, true, 8, 8, 2), S::kNotThisFormat},
      {"a local header with other flags", nullptr, put(1, true, 6, 2, 2), S::kNotThisFormat},
      {"a local header with another size", nullptr, put(1, true, 22, 499, 4), S::kNotThisFormat},
      {"a false CRC-32 in both headers", nullptr,
       [&](Built* b) {
         put(1, true, 14, 0x12345678, 4)(b);
         put(1, false, 16, 0x12345678, 4)(b);
       },
       S::kBadDigest},
      // ZIP64 end records.
      {"an unmarked end-record field unlike the ZIP64 record's", [](PackageSpec* s) { s->zip64 = true; },
       [](Built* b) { PutLe32(&b->bytes, b->end + 12, 5); }, S::kNotThisFormat},
      {"a ZIP64 locator naming two disks", [](PackageSpec* s) { s->zip64 = true; },
       [](Built* b) { PutLe32(&b->bytes, b->end - 4, 2); }, S::kNotThisFormat},
      // Names.
      {"two names that decode to one map name", files({{"aA.txt", Text(10, 4)}, {"a%41.txt", Text(10, 4)}}), nullptr,
       S::kNotThisFormat},
      {"two names equal apart from case", files({{"Notes.txt", Text(10, 4)}, {"notes.txt", Text(10, 4)}}), nullptr,
       S::kNotThisFormat},
      {"a name holding '\\'", files({{"a\\b.txt", Text(10, 4)}}), nullptr, S::kNotThisFormat},
      {"a separator written as an escape", files({{"a%2Fb.txt", Text(10, 4)}}), nullptr, S::kNotThisFormat},
      {"a '%' without two hex digits", files({{"a%4.txt", Text(10, 4)}}), nullptr, S::kNotThisFormat},
      {"a map file the package lacks", map([](std::string* m) {
         Replace(m, "</BlockMap>", "<File Name=\"gone.txt\" Size=\"0\" LfhSize=\"38\"/></BlockMap>");
       }),
       nullptr, S::kBadDigest},
      {"map names equal apart from case", map([](std::string* m) {
         Replace(m, "</BlockMap>", "<File Name=\"README.TXT\" Size=\"0\" LfhSize=\"40\"/></BlockMap>");
       }),
       nullptr, S::kBadDigest},
      // Compressed block sizes.
      {"a block's compressed size wrong", map([](std::string* m) { ShiftFirstBlockSize(m, 1, false); }), nullptr,
       S::kBadDigest},
      {"a block's end moved into the next, the sum kept", map([](std::string* m) { ShiftFirstBlockSize(m, 1, true); }),
       nullptr, S::kBadDigest},
      {"a deflated file's block without a size", map([](std::string* m) {
         size_t at = 0;
         const size_t size = FirstBlockSize(*m, &at);
         m->erase(at - 7, 8 + std::to_string(size).size());
       }),
       nullptr, S::kBadDigest},
      {"a stored file's block with a size", map([](std::string* m) {
         Replace(m, "\"/></File><File Name=\"my notes", "\" Size=\"500\"/></File><File Name=\"my notes");
       }),
       nullptr, S::kBadDigest},
      // The block map's own structure and cost.
      {"an element below Block", map([](std::string* m) { Replace(m, "\"/></File>", "\"><Block/></Block></File>"); }),
       nullptr, S::kBadDigest},
      {"an element of another namespace",
       map([](std::string* m) { Replace(m, "</BlockMap>", "<x:a xmlns:x=\"urn:x\"/></BlockMap>"); }), nullptr,
       S::kBadDigest},
      {"a block map of one long attribute",
       map([](std::string* m) { Replace(m, "<File ", "<File Pad=\"" + std::string(size_t{1} << 18, 'p') + "\" "); }),
       nullptr, S::kBadDigest},
      {"content types past their cap",
       [](PackageSpec* s) { s->contentTypes = "<Types>" + std::string(size_t{1} << 18, ' ') + "</Types>"; }, nullptr,
       S::kBadDigest},
      {"a block hash other than the data's", map([](std::string* m) {
         Replace(m, "Hash=\"", "Hash=\"AAAA");
         m->erase(m->find("AAAA") + 4, 4);
       }),
       nullptr, S::kBadDigest},
  };
  for (const Row& row : rows) {
    PackageSpec spec;
    spec.files = Payload();
    if (row.shape) row.shape(&spec);
    Built built = Build(spec);
    if (row.change) row.change(&built);
    EXPECT_EQ(DigestStatus(built.bytes), row.status) << row.what;
  }
}

TEST(AppxSubjectTest, RecordsHashCoversTheFileUpToTheSignature) {
  PackageSpec spec;
  spec.files = Payload();
  const Built built = Build(spec);
  MemorySource source(built.bytes);
  std::unique_ptr<Subject> subject;
  ASSERT_EQ(OpenAppxSubject(source, &subject), SubjectStatus::kOk);
  Bytes digest;
  ASSERT_EQ(subject->ComputeDigest(EVP_sha256(), &digest), SubjectStatus::kOk);
  uint8_t expected[32];
  EVP_Digest(built.bytes.data(), built.local.back(), expected, nullptr, EVP_sha256(), nullptr);
  ASSERT_EQ(digest.size(), 4 + 4 * 36u);
  EXPECT_EQ(Bytes(digest.begin() + 8, digest.begin() + 40), Bytes(expected, expected + 32));
  Bytes blob;
  EXPECT_EQ(subject->ReadSignature(&blob), SubjectStatus::kOk);
  EXPECT_EQ(blob, (Bytes{0x30, 0x03, 0x02, 0x01, 0x00}));
}

}  // namespace
}  // namespace wintrust
