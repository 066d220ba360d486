// Test helper: points ReportLog at a fresh file for the life of the object
// and reads back exactly what was written to it.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "platform/utf8.h"
#include "report/report_log.h"

class ReportCapture {
 public:
  explicit ReportCapture(const std::string& name) : path_(testing::TempDir() + name) {
    const WideString widePath = platform::DecodeUtf8(path_);
    ReportLog = platform::CreateAlways(widePath.c_str());
    EXPECT_TRUE(ReportLog.IsOpen()) << path_;
  }
  ~ReportCapture() { ReportLog.Close(); }

  std::string Bytes() const {
    std::ifstream file(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
  }

  // The report's units; fails the test on an odd byte count.
  WideString Text() const {
    const std::string bytes = Bytes();
    EXPECT_EQ(0u, bytes.size() % 2) << "a report holds whole 16-bit units";
    WideString text;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
      text.push_back(static_cast<WideChar>(static_cast<unsigned char>(bytes[i]) |
                                           static_cast<unsigned char>(bytes[i + 1]) << 8));
    }
    return text;
  }

 private:
  std::string path_;
};
