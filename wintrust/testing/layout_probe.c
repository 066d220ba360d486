/* Offsets and sizes of the records both sides of the trust interface use.
 * check_layout.sh compiles this once against our header for Linux and once
 * against the mingw-w64 Windows headers, and compares the numbers. */
#ifdef USE_MINGW
#include <windows.h>
#include <wintrust.h>
#else
#include "wintrust/exports/wintrust.h"
#endif
#include <stddef.h>
#define O(t, m) (unsigned long)offsetof(t, m)
const unsigned long values[] = {
    sizeof(WINTRUST_DATA),
    O(WINTRUST_DATA, pFile),
    O(WINTRUST_DATA, dwStateAction),
    O(WINTRUST_DATA, hWVTStateData),
    O(WINTRUST_DATA, pwszURLReference),
    O(WINTRUST_DATA, dwProvFlags),
    O(WINTRUST_DATA, dwUIContext),
    sizeof(WINTRUST_FILE_INFO),
    O(WINTRUST_FILE_INFO, pcwszFilePath),
    O(WINTRUST_FILE_INFO, hFile),
    O(WINTRUST_FILE_INFO, pgKnownSubject),
    sizeof(CERT_CONTEXT),
    O(CERT_CONTEXT, pCertInfo),
    sizeof(CERT_INFO),
    O(CERT_INFO, SubjectPublicKeyInfo),
    O(CERT_INFO, NotBefore),
    O(CERT_INFO, cExtension),
    O(CERT_INFO, rgExtension),
    sizeof(CRYPT_BIT_BLOB),
    O(CRYPT_BIT_BLOB, pbData),
    O(CRYPT_BIT_BLOB, cUnusedBits),
    sizeof(CRYPT_PROVIDER_CERT),
    O(CRYPT_PROVIDER_CERT, pCert),
    O(CRYPT_PROVIDER_CERT, dwError),
    O(CRYPT_PROVIDER_CERT, pChainElement),
    sizeof(CRYPT_PROVIDER_SGNR),
    O(CRYPT_PROVIDER_SGNR, csCertChain),
    O(CRYPT_PROVIDER_SGNR, pasCertChain),
    O(CRYPT_PROVIDER_SGNR, psSigner),
    O(CRYPT_PROVIDER_SGNR, dwError),
    O(CRYPT_PROVIDER_SGNR, csCounterSigners),
    O(CRYPT_PROVIDER_SGNR, pasCounterSigners),
    sizeof(CMSG_SIGNER_INFO),
    O(CMSG_SIGNER_INFO, SerialNumber),
    O(CMSG_SIGNER_INFO, HashAlgorithm),
    O(CMSG_SIGNER_INFO, AuthAttrs),
    O(CMSG_SIGNER_INFO, UnauthAttrs),
    O(CRYPT_PROVIDER_SGNR, pChainContext),
    sizeof(CRYPT_PROVIDER_DATA),
    O(CRYPT_PROVIDER_DATA, pWintrustData),
    O(CRYPT_PROVIDER_DATA, csSigners),
    O(CRYPT_PROVIDER_DATA, pasSigners),
    O(CRYPT_PROVIDER_DATA, pPDSip),
    O(CRYPT_PROVIDER_DATA, sftSystemTime),
    O(CRYPT_PROVIDER_DATA, dwFinalError),
    O(CRYPT_PROVIDER_DATA, dwUIStateFlags),
    sizeof(PROVDATA_SIP),
    O(PROVDATA_SIP, gSubject),
    O(PROVDATA_SIP, pSip),
    O(PROVDATA_SIP, psIndirectData),
    sizeof(GUID),
};
