// Linux entry: arguments arrive as bytes and are decoded to the tool's UTF-16
// text, keeping undecodable bytes so each file is opened by its exact name.
#include <csignal>
#include <vector>

#include "platform/utf8.h"
#include "verify/sigverify.h"

int main(int argc, char** argv) {
  // A reader that goes away makes the next write fail, which ends the run
  // with its own status, instead of killing it.
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<WideString> arguments;
  for (int i = 1; i < argc; ++i) arguments.push_back(platform::DecodeUtf8(argv[i]));
  return RunSigverify(arguments);
}
