// The DER reader and the PKCS#7 / Authenticode reader (wintrust/der_reader.h,
// wintrust/signed_data.h, and the certificate lookup of signer_check.h).
// Rules:
//   - an element ReadTlv accepts starts at the input, ends inside it, has a
//     header of 2 to 6 bytes, and reads back the same from exactly its own
//     bytes; one byte fewer is kEndOfData; an indefinite length (BER) sits
//     on a constructed element and its whole ends in the end-of-contents
//     octets right after its content;
//   - every view ParseSignedData returns points into the input, but for the
//     value of an OCTET STRING content sent in segments, which points into
//     the joined copy; certificates are whole SEQUENCE elements; the
//     encapsulated content's octets are the content of its element, or the
//     OCTET STRING's value;
//   - bytes after the ContentInfo change nothing, and the ContentInfo cut by
//     one byte is kEndOfData;
//   - the signer certificate found is one of the message's certificates.
#include <algorithm>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "wintrust/base/der_reader.h"
#include "wintrust/signature/signed_data.h"
#include "wintrust/signature/signer_check.h"

namespace {

using wintrust::Bytes;
using wintrust::ByteView;
using wintrust::DerError;
using wintrust::Tlv;

bool Inside(ByteView part, ByteView whole) {
  if (part.empty()) return true;
  return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

// A view's place relative to its buffer: comparable across two buffers.
struct Place {
  size_t offset = 0;
  size_t size = 0;
  bool operator==(const Place&) const = default;
};

Place PlaceOf(ByteView part, ByteView whole) {
  if (part.empty()) return {};
  return {static_cast<size_t>(part.data() - whole.data()), part.size()};
}

// The content views point into the input unless they point into the joined
// copy of a segmented OCTET STRING.
ByteView ContentHome(const wintrust::SignedData& data, ByteView input) {
  return data.joinedContent.empty() ? input : ByteView(data.joinedContent);
}

std::vector<Place> Places(const wintrust::SignedData& data, ByteView input) {
  const ByteView home = ContentHome(data, input);
  std::vector<Place> places = {PlaceOf(data.contentType, input), PlaceOf(data.signedContent, home),
                               PlaceOf(data.contentElement, home)};
  for (ByteView certificate : data.certificates) places.push_back(PlaceOf(certificate, input));
  for (const wintrust::SignerInfo& signer : data.signers) {
    for (ByteView part :
         {signer.issuer, signer.serialNumber, signer.subjectKeyId, signer.digestAlgorithm, signer.authAttributes,
          signer.signatureAlgorithm, signer.signature, signer.unauthAttributes}) {
      places.push_back(PlaceOf(part, input));
    }
  }
  return places;
}

void CheckTlv(ByteView input) {
  Tlv tlv;
  const DerError error = wintrust::ReadTlv(input, &tlv);
  FUZZ_CHECK(error == DerError::kNone || error == DerError::kBadTag || error == DerError::kEndOfData);
  if (error != DerError::kNone) return;
  FUZZ_CHECK(tlv.whole.data() == input.data() && tlv.whole.size() <= input.size());
  FUZZ_CHECK(tlv.tag == input[0]);
  FUZZ_CHECK(tlv.content.data() >= tlv.whole.data());
  const size_t headerSize = static_cast<size_t>(tlv.content.data() - tlv.whole.data());
  FUZZ_CHECK(headerSize >= 2 && headerSize <= 6);
  const size_t trailerSize = tlv.whole.size() - headerSize - tlv.content.size();
  if (input[1] == 0x80) {
    FUZZ_CHECK((tlv.tag & 0x20) != 0 && headerSize == 2 && trailerSize == 2);
    FUZZ_CHECK(tlv.whole[tlv.whole.size() - 2] == 0 && tlv.whole[tlv.whole.size() - 1] == 0);
  } else {
    FUZZ_CHECK(trailerSize == 0);
  }
  Tlv again;
  FUZZ_CHECK(wintrust::ReadTlv(tlv.whole, &again) == DerError::kNone);
  FUZZ_CHECK(again.whole.size() == tlv.whole.size() && again.content.size() == tlv.content.size());
  FUZZ_CHECK(wintrust::ReadTlv(tlv.whole.first(tlv.whole.size() - 1), &again) == DerError::kEndOfData);

  // Walking the content visits consecutive elements that tile what it read.
  wintrust::DerReader reader(tlv.content);
  size_t consumed = 0;
  Tlv child;
  while (!reader.AtEnd() && reader.Next(&child)) {
    FUZZ_CHECK(child.whole.data() == tlv.content.data() + consumed);
    consumed += child.whole.size();
  }
  FUZZ_CHECK(consumed <= tlv.content.size());
  FUZZ_CHECK((reader.error() == DerError::kNone) == (consumed == tlv.content.size()));
}

void CheckSignedData(ByteView input) {
  wintrust::SignedData data;
  const DerError error = wintrust::ParseSignedData(input, &data);
  FUZZ_CHECK(error == DerError::kNone || error == DerError::kBadTag || error == DerError::kEndOfData);
  if (error != DerError::kNone) return;

  for (const Place& place : Places(data, input)) {
    FUZZ_CHECK(place.offset + place.size <= std::max(input.size(), data.joinedContent.size()));
  }
  FUZZ_CHECK(Inside(data.contentElement, ContentHome(data, input)) &&
             Inside(data.signedContent, ContentHome(data, input)));
  for (ByteView certificate : data.certificates) {
    Tlv tlv;
    FUZZ_CHECK(wintrust::ReadTlv(certificate, &tlv) == DerError::kNone);
    FUZZ_CHECK(tlv.tag == wintrust::der::kSequence && tlv.whole.size() == certificate.size());
  }
  // Either the content octets of the element, or the OCTET STRING value
  // that is both.
  const bool sameView = data.contentElement.data() == data.signedContent.data() &&
                        data.contentElement.size() == data.signedContent.size();
  if (!sameView) {
    Tlv element;
    FUZZ_CHECK(wintrust::ReadTlv(data.contentElement, &element) == DerError::kNone);
    FUZZ_CHECK(element.content.data() == data.signedContent.data() &&
               element.content.size() == data.signedContent.size());
  }

  // The ContentInfo alone parses the same; with trailing bytes too; cut, it
  // ends early.
  Tlv contentInfo;
  FUZZ_CHECK(wintrust::ReadTlv(input, &contentInfo) == DerError::kNone);
  Bytes exact(contentInfo.whole.begin(), contentInfo.whole.end());
  Bytes padded = exact;
  padded.insert(padded.end(), {0x00, 0x30, 0x80, 0xFF});
  for (const Bytes* copy : {&exact, &padded}) {
    wintrust::SignedData again;
    FUZZ_CHECK(wintrust::ParseSignedData(*copy, &again) == DerError::kNone);
    FUZZ_CHECK(Places(again, *copy) == Places(data, input));
    FUZZ_CHECK(again.joinedContent == data.joinedContent);
  }
  wintrust::SignedData cut;
  FUZZ_CHECK(wintrust::ParseSignedData(ByteView(exact).first(exact.size() - 1), &cut) == DerError::kEndOfData);

  wintrust::IndirectData indirect;
  if (wintrust::ParseIndirectData(data.contentElement, &indirect)) {
    const ByteView home = ContentHome(data, input);
    FUZZ_CHECK(Inside(indirect.digestAlgorithm, home) && Inside(indirect.digest, home));
  }

  std::vector<wintrust::X509Ptr> certificates = wintrust::ParseCertificates(data.certificates);
  FUZZ_CHECK(certificates.size() <= data.certificates.size());
  wintrust::CertificateBag bag(data.certificates);
  FUZZ_CHECK(bag.size() <= data.certificates.size());
  for (const wintrust::SignerInfo& signer : data.signers) {
    X509* found = wintrust::FindSignerCertificate(signer, &bag);
    bool known = found == nullptr;
    for (const wintrust::X509Ptr& certificate : certificates) {
      known = known || X509_cmp(certificate.get(), found) == 0;
    }
    FUZZ_CHECK(known);
    if (!signer.authAttributes.empty()) {
      Tlv attributes;
      if (wintrust::ReadTlv(signer.authAttributes, &attributes) == DerError::kNone) {
        for (ByteView value : wintrust::AttributeValues(attributes.content, wintrust::oid::kMessageDigest)) {
          FUZZ_CHECK(Inside(value, input));
        }
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ByteView input(data, size);
  CheckTlv(input);
  CheckSignedData(input);
  return 0;
}
