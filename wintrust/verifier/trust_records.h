/* The published records the verification fills in and reads: the request,
 * the CryptoAPI certificate records and the provider records, laid out member
 * for member as the 64-bit Windows headers lay them out, under the same
 * names. They live with the verification that builds them (trust_state.h);
 * exports/wintrust.h publishes them with the entry points.
 *
 * C-compatible; depends on <stdint.h> and <stddef.h> only.
 */
#ifndef SIGREPORT_WINTRUST_VERIFIER_TRUST_RECORDS_H_
#define SIGREPORT_WINTRUST_VERIFIER_TRUST_RECORDS_H_

#include <stddef.h>
#include <stdint.h>

#include "wintrust/base/statuses.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} GUID;

typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME;

/* ---- Request constants ------------------------------------------------- */

#define WTD_UI_ALL 1
#define WTD_UI_NONE 2
#define WTD_UI_NOBAD 3
#define WTD_UI_NOGOOD 4

#define WTD_REVOKE_NONE 0x00000000
#define WTD_REVOKE_WHOLECHAIN 0x00000001

#define WTD_CHOICE_FILE 1
#define WTD_CHOICE_CATALOG 2
#define WTD_CHOICE_BLOB 3
#define WTD_CHOICE_SIGNER 4
#define WTD_CHOICE_CERT 5

#define WTD_STATEACTION_IGNORE 0x00000000
#define WTD_STATEACTION_VERIFY 0x00000001
#define WTD_STATEACTION_CLOSE 0x00000002

#define WTD_UICONTEXT_EXECUTE 0
#define WTD_UICONTEXT_INSTALL 1

#define X509_ASN_ENCODING 0x00000001
#define PKCS_7_ASN_ENCODING 0x00010000

/* ---- Request records --------------------------------------------------- */

typedef struct WINTRUST_FILE_INFO_ {
  DWORD cbStruct;
  LPCWSTR pcwszFilePath;
  HANDLE hFile;         /* ignored: the file is always opened by path */
  GUID* pgKnownSubject; /* ignored */
} WINTRUST_FILE_INFO, *PWINTRUST_FILE_INFO;

/* A file judged as a member of a catalog: the catalog's own signature and
 * chain decide, once the member is found among the catalog's members by its
 * digest, which the library computes from pcwszMemberFilePath itself (the
 * Authenticode digest of a PE image, the whole file's otherwise). The
 * caller's tag, handle and hash are not used: a digest the caller computed
 * is not a fact the library may take on trust. */
typedef struct WINTRUST_CATALOG_INFO_ {
  DWORD cbStruct;
  DWORD dwCatalogVersion; /* ignored */
  LPCWSTR pcwszCatalogFilePath;
  LPCWSTR pcwszMemberTag; /* ignored */
  LPCWSTR pcwszMemberFilePath;
  HANDLE hMemberFile;           /* ignored */
  BYTE* pbCalculatedFileHash;   /* ignored */
  DWORD cbCalculatedFileHash;   /* ignored */
  const void* pcCatalogContext; /* ignored */
  HANDLE hCatAdmin;             /* ignored */
} WINTRUST_CATALOG_INFO, *PWINTRUST_CATALOG_INFO;

struct WINTRUST_BLOB_INFO_;
struct WINTRUST_SGNR_INFO_;
struct WINTRUST_CERT_INFO_;

/* The form that ends at dwUIContext, as the platform's SDK headers declare it
 * without the later pSignatureSettings member. Requests whose cbStruct covers
 * at least hWVTStateData are accepted, the longer form included. */
typedef struct _WINTRUST_DATA {
  DWORD cbStruct;
  LPVOID pPolicyCallbackData;
  LPVOID pSIPClientData;
  DWORD dwUIChoice;
  DWORD fdwRevocationChecks;
  DWORD dwUnionChoice;
  union {
    struct WINTRUST_FILE_INFO_* pFile;
    struct WINTRUST_CATALOG_INFO_* pCatalog;
    struct WINTRUST_BLOB_INFO_* pBlob;
    struct WINTRUST_SGNR_INFO_* pSgnr;
    struct WINTRUST_CERT_INFO_* pCert;
  };
  DWORD dwStateAction;
  HANDLE hWVTStateData;
  WCHAR* pwszURLReference;
  DWORD dwProvFlags;
  DWORD dwUIContext;
} WINTRUST_DATA, *PWINTRUST_DATA;

/* ---- CryptoAPI certificate records ------------------------------------- */

typedef struct _CRYPTOAPI_BLOB {
  DWORD cbData;
  BYTE* pbData;
} CRYPT_INTEGER_BLOB, CRYPT_OBJID_BLOB, CERT_NAME_BLOB, CRYPT_DATA_BLOB;

typedef struct _CRYPT_BIT_BLOB {
  DWORD cbData;
  BYTE* pbData;
  DWORD cUnusedBits;
} CRYPT_BIT_BLOB, *PCRYPT_BIT_BLOB;

typedef struct _CRYPT_ALGORITHM_IDENTIFIER {
  LPSTR pszObjId;
  CRYPT_OBJID_BLOB Parameters;
} CRYPT_ALGORITHM_IDENTIFIER;

typedef struct _CERT_PUBLIC_KEY_INFO {
  CRYPT_ALGORITHM_IDENTIFIER Algorithm;
  CRYPT_BIT_BLOB PublicKey;
} CERT_PUBLIC_KEY_INFO;

typedef struct _CERT_EXTENSION {
  LPSTR pszObjId;
  BOOL fCritical;
  CRYPT_OBJID_BLOB Value;
} CERT_EXTENSION, *PCERT_EXTENSION;

/* SerialNumber is little-endian, as CryptoAPI stores it; Issuer and Subject
 * hold the names' DER encodings. */
typedef struct _CERT_INFO {
  DWORD dwVersion;
  CRYPT_INTEGER_BLOB SerialNumber;
  CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
  CERT_NAME_BLOB Issuer;
  FILETIME NotBefore;
  FILETIME NotAfter;
  CERT_NAME_BLOB Subject;
  CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
  CRYPT_BIT_BLOB IssuerUniqueId;
  CRYPT_BIT_BLOB SubjectUniqueId;
  DWORD cExtension;
  PCERT_EXTENSION rgExtension;
} CERT_INFO, *PCERT_INFO;

typedef struct _CERT_CONTEXT {
  DWORD dwCertEncodingType;
  BYTE* pbCertEncoded;
  DWORD cbCertEncoded;
  PCERT_INFO pCertInfo;
  HCERTSTORE hCertStore;
} CERT_CONTEXT, *PCERT_CONTEXT;
typedef const CERT_CONTEXT* PCCERT_CONTEXT;

/* ---- Provider records -------------------------------------------------- */

/* Members the library does not fill are left zero; the records they would
 * point to are not part of this interface and stay incomplete types. */
struct _CRYPT_PROVIDER_FUNCTIONS;
struct _CRYPT_PROVIDER_PRIVDATA;
struct SIP_DISPATCH_INFO_;
struct SIP_SUBJECTINFO_;
struct SIP_INDIRECT_DATA_;
struct _CERT_USAGE_MATCH;
struct _CERT_CHAIN_CONTEXT;
struct _CERT_CHAIN_ELEMENT;
struct _CTL_CONTEXT;

typedef struct _CRYPT_ATTRIBUTE {
  LPSTR pszObjId;
  DWORD cValue;
  CRYPT_DATA_BLOB* rgValue;
} CRYPT_ATTRIBUTE, *PCRYPT_ATTRIBUTE;

typedef struct _CRYPT_ATTRIBUTES {
  DWORD cAttr;
  PCRYPT_ATTRIBUTE rgAttr;
} CRYPT_ATTRIBUTES, *PCRYPT_ATTRIBUTES;

/* The signer's SignerInfo as read: the library fills the version, the
 * issuer and serial number it names (as in CERT_INFO) and the digest
 * algorithm; the attributes are left empty. */
typedef struct _CMSG_SIGNER_INFO {
  DWORD dwVersion;
  CERT_NAME_BLOB Issuer;
  CRYPT_INTEGER_BLOB SerialNumber;
  CRYPT_ALGORITHM_IDENTIFIER HashAlgorithm;
  CRYPT_ALGORITHM_IDENTIFIER HashEncryptionAlgorithm;
  CRYPT_DATA_BLOB EncryptedHash;
  CRYPT_ATTRIBUTES AuthAttrs;
  CRYPT_ATTRIBUTES UnauthAttrs;
} CMSG_SIGNER_INFO, *PCMSG_SIGNER_INFO;

typedef struct _CRYPT_PROVIDER_CERT {
  DWORD cbStruct;
  PCCERT_CONTEXT pCert;
  BOOL fCommercial;
  BOOL fTrustedRoot;
  BOOL fSelfSigned;
  BOOL fTestCert;
  DWORD dwRevokedReason;
  DWORD dwConfidence;
  DWORD dwError;
  struct _CTL_CONTEXT* pTrustListContext;
  BOOL fTrustListSignerCert;
  const struct _CTL_CONTEXT* pCtlContext;
  DWORD dwCtlError;
  BOOL fIsCyclic;
  struct _CERT_CHAIN_ELEMENT* pChainElement;
} CRYPT_PROVIDER_CERT, *PCRYPT_PROVIDER_CERT;

typedef struct _CRYPT_PROVIDER_SGNR {
  DWORD cbStruct;
  FILETIME sftVerifyAsOf;
  DWORD csCertChain;
  CRYPT_PROVIDER_CERT* pasCertChain;
  DWORD dwSignerType;
  CMSG_SIGNER_INFO* psSigner;
  DWORD dwError;
  DWORD csCounterSigners;
  struct _CRYPT_PROVIDER_SGNR* pasCounterSigners;
  const struct _CERT_CHAIN_CONTEXT* pChainContext;
} CRYPT_PROVIDER_SGNR, *PCRYPT_PROVIDER_SGNR;

/* The subject interface package that read the file: the library fills
 * cbStruct and gSubject, the GUID Windows registers for the type of subject
 * the file was verified as (subject_registry.cc); all zero when no format
 * applied. The other members stay null. */
typedef struct _PROVDATA_SIP {
  DWORD cbStruct;
  GUID gSubject;
  struct SIP_DISPATCH_INFO_* pSip;
  struct SIP_DISPATCH_INFO_* pCATSip;
  struct SIP_SUBJECTINFO_* psSipSubjectInfo;
  struct SIP_SUBJECTINFO_* psSipCATSubjectInfo;
  struct SIP_INDIRECT_DATA_* psIndirectData;
} PROVDATA_SIP, *PPROVDATA_SIP;

typedef struct _CRYPT_PROVIDER_DATA {
  DWORD cbStruct;
  WINTRUST_DATA* pWintrustData;
  BOOL fOpenedFile;
  HWND hWndParent;
  GUID* pgActionID;
  HCRYPTPROV hProv;
  DWORD dwError;
  DWORD dwRegSecuritySettings;
  DWORD dwRegPolicySettings;
  struct _CRYPT_PROVIDER_FUNCTIONS* psPfns;
  DWORD cdwTrustStepErrors;
  DWORD* padwTrustStepErrors;
  DWORD chStores;
  HCERTSTORE* pahStores;
  DWORD dwEncoding;
  HCRYPTMSG hMsg;
  DWORD csSigners;
  CRYPT_PROVIDER_SGNR* pasSigners;
  DWORD csProvPrivData;
  struct _CRYPT_PROVIDER_PRIVDATA* pasProvPrivData;
  DWORD dwSubjectChoice;
  union {
    struct _PROVDATA_SIP* pPDSip;
  };
  char* pszUsageOID;
  BOOL fRecallWithState;
  FILETIME sftSystemTime;
  char* pszCTLSignerUsageOID;
  DWORD dwProvFlags;
  DWORD dwFinalError;
  struct _CERT_USAGE_MATCH* pRequestUsage;
  DWORD dwTrustPubSettings;
  DWORD dwUIStateFlags;
} CRYPT_PROVIDER_DATA, *PCRYPT_PROVIDER_DATA;

#ifdef __cplusplus
}
#endif

#endif /* SIGREPORT_WINTRUST_VERIFIER_TRUST_RECORDS_H_ */
