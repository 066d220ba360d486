// The subjects built into the library, one per format, and the way from a
// file to its subject.
#pragma once

#include <memory>
#include <string_view>

#include "wintrust/base/file_source.h"
#include "wintrust/subject/subject.h"
#include "wintrust/verifier/trust_records.h"

namespace wintrust {

// The format of a file whose first bytes are `head` (at most
// kSubjectMagicSize) and whose name, or path, is `fileName` (bytes, may be
// empty): by content first, then by the extension.
SubjectFormat DetectSubjectFormat(ByteView head, std::string_view fileName);

// The opener registered for `format`; null when none is (kUnknown).
SubjectOpener FindSubjectOpener(SubjectFormat format);

// Detects the format of `file` and opens its subject, and on success gives
// in `subjectType` (when not null) the GUID Windows registers for the
// subject's type: PE image, cabinet, structured storage (MSI), PowerShell
// script, APPX package or bundle, catalog. kNotThisFormat when the format is
// unknown or has no subject; kReadFault when a read fails.
SubjectStatus OpenSubject(const ByteSource& file, std::string_view fileName, std::unique_ptr<Subject>* subject,
                          GUID* subjectType = nullptr);

}  // namespace wintrust
