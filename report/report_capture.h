// Test helper: points ReportLog at a fresh file for the life of the object
// and reads back exactly what was written to it.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/utf8.h"
#include "report/report_log.h"

class ReportCapture {
 public:
  explicit ReportCapture(const std::string& name) {
    const WideString finalPath = platform::DecodeUtf8(testing::TempDir() + name);
    WideString temporaryPath;
    ReportLog = platform::CreateTemporaryBeside(finalPath.c_str(), &temporaryPath);
    EXPECT_TRUE(ReportLog.IsOpen()) << testing::TempDir() << name;
    path_ = platform::EncodeUtf8(temporaryPath.c_str(), temporaryPath.size());
  }
  ~ReportCapture() {
    ReportLog.Close();
    std::remove(path_.c_str());
  }

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
      text.push_back(
          static_cast<WideChar>(static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8));
    }
    return text;
  }

 private:
  std::string path_;
};
