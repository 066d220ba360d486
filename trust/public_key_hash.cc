#include "trust/public_key_hash.h"

#include "sha1/sha1.h"

void HashPublicKey(const CERT_INFO& info, uint8_t (&digest)[20]) {
  const CRYPT_BIT_BLOB& key = info.SubjectPublicKeyInfo.PublicKey;
  Sha1Hasher hasher = {};
  hasher.Init();
  hasher.Reset();
  hasher.Update(key.pbData, key.cbData);
  hasher.Final(digest);
}
