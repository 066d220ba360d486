// The subjects of a certificate trust list (1.3.6.1.4.1.311.10.1), the
// content both of a catalog and of the root program's list:
//   CertificateTrustList ::= SEQUENCE { version INTEGER OPTIONAL,
//     subjectUsage SEQUENCE, listIdentifier OCTET STRING OPTIONAL,
//     sequenceNumber INTEGER OPTIONAL, thisUpdate Time, nextUpdate Time
//     OPTIONAL, subjectAlgorithm SEQUENCE, trustedSubjects SEQUENCE OPTIONAL,
//     extensions [0] OPTIONAL }
//   TrustedSubject ::= SEQUENCE { subjectIdentifier OCTET STRING,
//     subjectAttributes SET OF Attribute OPTIONAL }
// What a subject's identifier and attributes mean is the reader's to say.
#pragma once

#include <functional>

#include "wintrust/base/byte_view.h"
#include "wintrust/base/der_reader.h"

namespace wintrust {

struct TrustedSubject {
  ByteView identifier;  // the OCTET STRING's content
  ByteView attributes;  // the SET's content; empty when absent
};

// Hands each subject of the list to `visit`, in order, until it returns
// false. `list` is a SignedData's content element: the list's SEQUENCE, or
// an OCTET STRING holding it. kNone when the list is well formed as far as
// it was read; the subjects come one at a time, so a list of millions costs
// no memory of its own.
DerError ForEachTrustedSubject(ByteView list, const std::function<bool(const TrustedSubject&)>& visit);

}  // namespace wintrust
