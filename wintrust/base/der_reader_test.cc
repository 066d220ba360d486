#include "wintrust/base/der_reader.h"

#include <gtest/gtest.h>

namespace wintrust {
namespace {

TEST(DerReader, ReadsShortAndLongLengths) {
  const uint8_t shortForm[] = {0x04, 0x02, 0xAA, 0xBB, 0xFF};
  Tlv tlv;
  ASSERT_EQ(ReadTlv(shortForm, &tlv), DerError::kNone);
  EXPECT_EQ(tlv.tag, 0x04);
  EXPECT_EQ(tlv.whole.size(), 4u);
  EXPECT_EQ(tlv.content.size(), 2u);
  EXPECT_EQ(tlv.content[1], 0xBB);

  Bytes longForm = {0x30, 0x82, 0x01, 0x00};
  longForm.resize(4 + 256, 0x00);
  ASSERT_EQ(ReadTlv(longForm, &tlv), DerError::kNone);
  EXPECT_EQ(tlv.content.size(), 256u);
  EXPECT_EQ(tlv.whole.size(), 260u);
}

TEST(DerReader, LengthBeyondTheBytesIsEndOfData) {
  const uint8_t cut[] = {0x30, 0x05, 0x01, 0x02};
  Tlv tlv;
  EXPECT_EQ(ReadTlv(cut, &tlv), DerError::kEndOfData);
  const uint8_t cutLength[] = {0x30, 0x82, 0x01};
  EXPECT_EQ(ReadTlv(cutLength, &tlv), DerError::kEndOfData);
  // A four-octet length near 4 GiB must not wrap when added to the header.
  const uint8_t huge[] = {0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
  EXPECT_EQ(ReadTlv(huge, &tlv), DerError::kEndOfData);
}

// A file's head read before the file: the header alone, its content absent,
// by the same rules as a whole element.
TEST(DerReader, ReadsAHeaderWhoseContentIsAbsent) {
  struct Row {
    Bytes bytes;
    DerError error;
    size_t size;
    uint64_t length;
    bool indefinite;
  } rows[] = {
      {{0x30, 0x05}, DerError::kNone, 2, 5, false},
      {{0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF}, DerError::kNone, 6, 0xFFFFFFFF, false},
      {{0xA0, 0x80}, DerError::kNone, 2, 0, true},
      {{0x04, 0x80}, DerError::kBadTag, 0, 0, false},  // indefinite primitive
      {{0x30, 0x85, 1, 1, 1, 1, 1}, DerError::kBadTag, 0, 0, false},
      {{0x1F, 0x01}, DerError::kBadTag, 0, 0, false},  // high tag number
      {{0x30, 0x82, 0x01}, DerError::kEndOfData, 0, 0, false},
      {{0x30}, DerError::kEndOfData, 0, 0, false},
      {{}, DerError::kBadTag, 0, 0, false},
  };
  for (const Row& row : rows) {
    DerHeader header;
    ASSERT_EQ(ReadDerHeader(row.bytes, &header), row.error) << testing::PrintToString(row.bytes);
    if (row.error != DerError::kNone) continue;
    EXPECT_EQ(header.size, row.size);
    EXPECT_EQ(header.length, row.length);
    EXPECT_EQ(header.indefinite, row.indefinite);
  }
}

TEST(DerReader, ReadsIndefiniteLengthsOnConstructedElements) {
  // SEQUENCE (indefinite) { INTEGER 5, [0] (indefinite) { NULL }, OCTET
  // STRING 2 bytes that look like end-of-contents }, then a trailing byte.
  const uint8_t ber[] = {0x30, 0x80, 0x02, 0x01, 0x05, 0xA0, 0x80, 0x05, 0x00,
                         0x00, 0x00, 0x04, 0x02, 0x00, 0x00, 0x00, 0x00, 0xFF};
  Tlv tlv;
  ASSERT_EQ(ReadTlv(ber, &tlv), DerError::kNone);
  EXPECT_EQ(tlv.tag, 0x30);
  EXPECT_EQ(tlv.whole.size(), sizeof ber - 1) << "the end-of-contents octets belong to the element";
  EXPECT_EQ(tlv.content.data(), ber + 2);
  EXPECT_EQ(tlv.content.size(), sizeof ber - 5) << "the content stops before them";

  DerReader reader(tlv.content);
  Tlv child;
  ASSERT_TRUE(reader.Expect(der::kInteger, &child));
  ASSERT_TRUE(reader.Expect(der::kContext0, &child));
  EXPECT_EQ(child.whole.size(), 6u);
  EXPECT_EQ(child.content.size(), 2u);
  ASSERT_TRUE(reader.Expect(der::kOctetString, &child));
  EXPECT_EQ(child.content.size(), 2u) << "zeros inside a definite element are content";
  EXPECT_TRUE(reader.AtEnd());
}

TEST(DerReader, IndefiniteLengthWithoutItsEndIsEndOfData) {
  Tlv tlv;
  const uint8_t open[] = {0x30, 0x80, 0x02, 0x01, 0x05};
  EXPECT_EQ(ReadTlv(open, &tlv), DerError::kEndOfData);
  const uint8_t halfEnd[] = {0x30, 0x80, 0x02, 0x01, 0x05, 0x00};
  EXPECT_EQ(ReadTlv(halfEnd, &tlv), DerError::kEndOfData);
  const uint8_t innerClosedOnly[] = {0x30, 0x80, 0x31, 0x80, 0x00, 0x00};
  EXPECT_EQ(ReadTlv(innerClosedOnly, &tlv), DerError::kEndOfData);
  // A definite element reaching past the bytes inside an indefinite one.
  const uint8_t longChild[] = {0x30, 0x80, 0x04, 0x05, 0x00, 0x00};
  EXPECT_EQ(ReadTlv(longChild, &tlv), DerError::kEndOfData);
}

TEST(DerReader, IndefiniteNestingIsCapped) {
  auto nested = [](size_t levels) {
    Bytes bytes;
    for (size_t i = 0; i < levels; ++i) bytes.insert(bytes.end(), {0x30, 0x80});
    for (size_t i = 0; i < levels; ++i) bytes.insert(bytes.end(), {0x00, 0x00});
    return bytes;
  };
  Tlv tlv;
  Bytes atCap = nested(kMaxIndefiniteNesting);
  ASSERT_EQ(ReadTlv(atCap, &tlv), DerError::kNone);
  EXPECT_EQ(tlv.whole.size(), atCap.size());
  EXPECT_EQ(ReadTlv(nested(kMaxIndefiniteNesting + 1), &tlv), DerError::kBadTag);
  // Far past the cap: refused at the cap, whatever follows.
  EXPECT_EQ(ReadTlv(nested(1000000), &tlv), DerError::kBadTag);
}

TEST(DerReader, RejectsWhatItDoesNotRead) {
  Tlv tlv;
  const uint8_t primitiveIndefinite[] = {0x04, 0x80, 0x01, 0x00, 0x00};
  EXPECT_EQ(ReadTlv(primitiveIndefinite, &tlv), DerError::kBadTag);
  const uint8_t primitiveInside[] = {0x30, 0x80, 0x02, 0x80, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(ReadTlv(primitiveInside, &tlv), DerError::kBadTag);
  const uint8_t fiveOctets[] = {0x30, 0x85, 0, 0, 0, 0, 1, 0};
  EXPECT_EQ(ReadTlv(fiveOctets, &tlv), DerError::kBadTag);
  const uint8_t highTag[] = {0x1F, 0x81, 0x01, 0x00};
  EXPECT_EQ(ReadTlv(highTag, &tlv), DerError::kBadTag);
  EXPECT_EQ(ReadTlv(ByteView(), &tlv), DerError::kBadTag);
}

TEST(DerReader, WalksChildrenAndReportsTheFirstError) {
  const uint8_t children[] = {0x02, 0x01, 0x05, 0x04, 0x00, 0x05, 0x00};
  DerReader reader(children);
  Tlv tlv;
  ASSERT_TRUE(reader.Expect(der::kInteger, &tlv));
  EXPECT_EQ(tlv.content[0], 5);
  ASSERT_TRUE(reader.Optional(der::kContext0, &tlv));
  EXPECT_TRUE(tlv.whole.empty()) << "an absent optional element consumes nothing";
  ASSERT_TRUE(reader.Expect(der::kOctetString, &tlv));
  EXPECT_TRUE(tlv.content.empty());
  EXPECT_FALSE(reader.Expect(der::kSequence, &tlv)) << "NULL is not a SEQUENCE";
  EXPECT_EQ(reader.error(), DerError::kBadTag);
  EXPECT_FALSE(reader.Next(&tlv)) << "a reader stays failed";
}

TEST(DerReader, MissingRequiredElementIsBadTag) {
  DerReader reader(ByteView{});
  Tlv tlv;
  EXPECT_TRUE(reader.AtEnd());
  EXPECT_FALSE(reader.Next(&tlv));
  EXPECT_EQ(reader.error(), DerError::kBadTag);
}

}  // namespace
}  // namespace wintrust
