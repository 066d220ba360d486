// The subjects built into the library, one per format, and the way from a
// file to its subject.
#pragma once

#include <memory>
#include <string_view>

#include "wintrust/base/file_source.h"
#include "wintrust/subject/subject.h"

namespace wintrust {

// The opener registered for `format`; null when none is (kUnknown).
SubjectOpener FindSubjectOpener(SubjectFormat format);

// Detects the format of `file` and opens its subject. kNotThisFormat when
// the format is unknown or has no subject; kReadFault when a read fails.
SubjectStatus OpenSubject(const ByteSource& file, std::string_view fileName, std::unique_ptr<Subject>* subject);

}  // namespace wintrust
