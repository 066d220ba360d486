// The OpenSSL library context each verifying thread works in.
//
// OpenSSL 3 keeps its algorithm, decoder and name tables per library
// context, behind read-write locks that one certificate decode takes some
// hundreds of times. Uncontended those locks are cheap; two threads sharing
// the default context spend more time passing the locks' cache lines between
// processors than verifying, and ran no faster than one. So each thread gets
// a context of its own on first use, freed when the thread ends, and every
// certificate, key and digest of a verification is made in it. No OpenSSL
// object outlives the call that made it: what the library hands back is
// encoded bytes.
#pragma once

#include <openssl/evp.h>
#include <openssl/types.h>

#include "wintrust/base/byte_view.h"
#include "wintrust/base/openssl_ptr.h"

namespace wintrust {

// The calling thread's context; null (OpenSSL's default context) when one
// could not be made.
OSSL_LIB_CTX* ThreadLibraryContext();

// The algorithm of `md` (as EVP_sha256() gives it) fetched once per thread
// from the thread's context. Started from EVP_sha256() itself, every digest
// would be fetched again from the shared context and looked up among the
// engines under a lock of the whole process.
const EVP_MD* ThreadDigest(const EVP_MD* md);

// The certificate at the start of `der`, decoded as d2i_X509 decodes it,
// in the thread's context.
X509Ptr DecodeCertificate(ByteView der);

// The same for a certificate that OpenSSL's trust settings may follow, as
// in a "TRUSTED CERTIFICATE" block; as d2i_X509_AUX decodes it.
X509Ptr DecodeCertificateWithTrust(ByteView der);

}  // namespace wintrust
