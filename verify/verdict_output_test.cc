#include "verify/verdict_output.h"

#include <gtest/gtest.h>

#include "platform/utf8.h"

namespace {

FileVerdict Signed(uint32_t status, bool timestamped) {
  FileVerdict verdict;
  verdict.path = platform::DecodeUtf8("dir/a b.exe");
  verdict.status = status;
  verdict.format = "pe";
  verdict.digestAlgorithm = "sha256";
  verdict.signer = CertificateDetails{"Leaf \"Co\"", "Inter", "01ff", "aa", "bb"};
  verdict.chain = {"Leaf \"Co\"", "Inter", "Root"};
  if (timestamped) verdict.timestamp = TimestampDetails{"2024-01-02T00:00:00Z", "TSA"};
  return verdict;
}

TEST(VerdictOutputTest, TextLines) {
  FileVerdict unreadable = UnreadableFile(platform::DecodeUtf8("fifo"), 5, "not a regular file, skipped");
  FileVerdict unknown;
  unknown.path = platform::DecodeUtf8("x");
  unknown.status = 0x80001234;
  const struct {
    FileVerdict verdict;
    const char* line;
  } rows[] = {
      {Signed(0, true),
       "dir/a b.exe: trusted, signed by \"Leaf \"Co\"\" (issuer \"Inter\"), timestamp 2024-01-02T00:00:00Z by "
       "\"TSA\"\n"},
      {Signed(0, false), "dir/a b.exe: trusted, signed by \"Leaf \"Co\"\" (issuer \"Inter\")\n"},
      {Signed(0x800B0109, true),
       "dir/a b.exe: NOT TRUSTED: CERT_E_UNTRUSTEDROOT (0x800b0109): the chain ends at a root that is not "
       "trusted\n"},
      {unreadable, "fifo: NOT TRUSTED: ERROR_ACCESS_DENIED (0x00000005): not a regular file, skipped\n"},
      {unknown,
       "x: NOT TRUSTED: UNKNOWN_STATUS (0x80001234): the trust service gave a status this command does not "
       "know\n"},
  };
  for (const auto& row : rows) EXPECT_EQ(row.line, FormatTextLine(row.verdict));
}

TEST(VerdictOutputTest, JsonLines) {
  EXPECT_EQ(
      "{\"path\":\"dir/a b.exe\",\"trusted\":false,\"status\":\"800b0109\",\"status_name\":\"CERT_E_UNTRUSTEDROOT\","
      "\"format\":\"pe\",\"digest_algorithm\":\"sha256\",\"signer\":{\"subject\":\"Leaf \\\"Co\\\"\",\"issuer\":"
      "\"Inter\",\"serial\":\"01ff\",\"sha1\":\"aa\",\"key_hash\":\"bb\"},\"timestamp\":{\"time\":"
      "\"2024-01-02T00:00:00Z\",\"signer\":\"TSA\"},\"chain\":[\"Leaf \\\"Co\\\"\",\"Inter\",\"Root\"],"
      "\"error\":null}\n",
      FormatJsonLine(Signed(0x800B0109, true)));
  EXPECT_EQ(
      "{\"path\":\"gone\",\"trusted\":false,\"status\":\"00000002\",\"status_name\":\"ERROR_FILE_NOT_FOUND\","
      "\"format\":null,\"digest_algorithm\":null,\"signer\":null,\"timestamp\":null,\"chain\":[],"
      "\"error\":\"vanished\"}\n",
      FormatJsonLine(UnreadableFile(platform::DecodeUtf8("gone"), 2, "vanished")));
}

TEST(VerdictOutputTest, UndecodableBytesKeptInTextAndReplacedInJson) {
  FileVerdict verdict = UnreadableFile(platform::DecodeUtf8("caf\xE9\x01.exe"), 2, "gone");
  EXPECT_EQ(0u, FormatTextLine(verdict).rfind("caf\xE9\x01.exe: ", 0));
  EXPECT_EQ(0u, FormatJsonLine(verdict).rfind("{\"path\":\"caf\xEF\xBF\xBD\\u0001.exe\"", 0));
}

}  // namespace
