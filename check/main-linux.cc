// Linux entry: arguments arrive as bytes and are decoded to the tool's UTF-16
// text, keeping undecodable bytes so the same file can be opened again.
#include <vector>

#include "check/check_driver.h"
#include "platform/utf8.h"

int main(int argc, char** argv) {
  std::vector<WideString> texts;
  std::vector<const WideChar*> arguments;
  texts.reserve(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i) texts.push_back(platform::DecodeUtf8(argv[i]));
  for (const WideString& text : texts) arguments.push_back(text.c_str());
  arguments.push_back(nullptr);
  return RunCheck(argc, arguments.data());
}
