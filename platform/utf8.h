// Conversions between the UTF-16 text of the tool and the bytes of the
// outside world (file names and arguments on Linux, piped console output).
#pragma once

#include <string>
#include <string_view>

#include "platform/text.h"

namespace platform {

// Decodes UTF-8. A byte that is not part of a valid UTF-8 sequence becomes
// the lone surrogate U+DC80..U+DCFF, so that EncodeUtf8 gives back exactly
// the bytes that came in.
WideString DecodeUtf8(std::string_view bytes);

// Encodes UTF-16 as UTF-8. A lone surrogate U+DC80..U+DCFF becomes the byte it
// stands for; any other lone surrogate becomes U+FFFD.
std::string EncodeUtf8(const WideChar* text, size_t length);

}  // namespace platform
