#include "wintrust/der_reader.h"

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

TEST(DerReader, RejectsWhatDerForbids) {
  Tlv tlv;
  const uint8_t indefinite[] = {0x30, 0x80, 0x00, 0x00};
  EXPECT_EQ(ReadTlv(indefinite, &tlv), DerError::kBadTag);
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
