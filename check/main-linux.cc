// Linux entry: arguments arrive as bytes and are decoded to the tool's UTF-16
// text, keeping undecodable bytes so the same file can be opened again.
#include <csignal>
#include <vector>

#include "check/check_driver.h"
#include "platform/utf8.h"

int main(int argc, char** argv) {
  // A reader that has gone away must not end the run with SIGPIPE: the tool
  // ends with 0 on every path, and the report is still written. The failed
  // console write is then simply lost.
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<WideString> texts;
  std::vector<const WideChar*> arguments;
  texts.reserve(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i) texts.push_back(platform::DecodeUtf8(argv[i]));
  for (const WideString& text : texts) arguments.push_back(text.c_str());
  arguments.push_back(nullptr);
  return RunCheck(argc, arguments.data());
}
