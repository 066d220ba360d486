// PowerShell scripts (.ps1, .psm1, .psd1) as a subject. The signature is a
// block of comment lines at the end of the script's text:
//
//   <script text>\r\n
//   # SIG # Begin signature block\r\n
//   # <base64 of the PKCS#7 SignedData, in lines>\r\n ...
//   # SIG # End signature block<one or two of \r and \n, then the end>
//
// The digest covers the script's text (script_text.h) before the first
// "\r\n# SIG # Begin signature block", as UTF-16LE.
#pragma once

#include <memory>

#include "wintrust/base/file_source.h"
#include "wintrust/script/script_text.h"
#include "wintrust/subject/subject.h"

namespace wintrust {

// Decodes the signature block: kNoSignature when the text has no block, or
// the block is not well formed (a line that is not "# " and base64, base64
// that does not decode, no end line, anything but one or two line-break
// characters after it, no base64 at all); kTooLarge when it holds more than
// kMaxSignatureSize bytes.
SubjectStatus ReadScriptSignature(const ByteSource& file, ScriptEncoding encoding, Bytes* blob);

// The digest with `md` of the text before the block.
SubjectStatus ComputeScriptDigest(const ByteSource& file, ScriptEncoding encoding, const EVP_MD* md, Bytes* digest);

SubjectStatus OpenPowerShellSubject(const ByteSource& file, std::unique_ptr<Subject>* subject);

}  // namespace wintrust
