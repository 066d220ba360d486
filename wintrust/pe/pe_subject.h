// PE images (PE32 and PE32+) as a subject: the signature is the first PKCS#7
// entry of the attribute certificate table, the digest the Authenticode
// image digest. Both come from the PE reader (pe_image.h) and the image
// digest (authenticode_digest.h) as they are.
#pragma once

#include <memory>

#include "wintrust/base/file_source.h"
#include "wintrust/subject/subject.h"

namespace wintrust {

SubjectStatus OpenPeSubject(const ByteSource& file, std::unique_ptr<Subject>* subject);

}  // namespace wintrust
