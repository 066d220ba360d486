/* The trust service's interface on Linux: the four WinTrust entry points the
 * tool calls, with the published signatures, and the published records they
 * fill in or read, laid out member for member as the 64-bit Windows headers
 * lay them out, under the same names. The tool's code includes this header on
 * Linux and the platform's <wintrust.h> on Windows, unchanged, so every name
 * here is spelled as the platform spells it.
 *
 * C-compatible; depends on <stdint.h> and <stddef.h> only.
 *
 * Contract of WinVerifyTrustEx (action WINTRUST_ACTION_GENERIC_VERIFY_V2,
 * subject WTD_CHOICE_FILE):
 *  - WTD_STATEACTION_VERIFY verifies the Authenticode signature of the PE file
 *    named by pFile->pcwszFilePath and returns 0 when it is valid and trusted,
 *    otherwise the status Windows gives (TRUST_E_*, CERT_E_*, ...). Either way
 *    hWVTStateData receives a verification state that must be released with
 *    WTD_STATEACTION_CLOSE; after a success it holds the first signer and its
 *    chain, the signing certificate at index 0.
 *  - WTD_STATEACTION_CLOSE releases that state and sets hWVTStateData to null.
 *  - WTD_STATEACTION_IGNORE verifies and keeps no state.
 *  - Any other action identifier: TRUST_E_ACTION_UNKNOWN.
 * The records reached through the WTHelper functions belong to the state and
 * stay valid until it is closed; callers never change or free them.
 */
#ifndef SIGREPORT_WINTRUST_WINTRUST_H_
#define SIGREPORT_WINTRUST_WINTRUST_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Platform type names ---------------------------------------------- */

typedef uint32_t DWORD;
typedef int32_t LONG;
typedef int32_t HRESULT;
typedef int BOOL;
typedef BOOL WINBOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef void* HANDLE;
typedef void* HWND;
typedef void* LPVOID;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef void* HCERTSTORE;
typedef void* HCRYPTMSG;
typedef uintptr_t HCRYPTPROV;
#ifdef __cplusplus
typedef char16_t WCHAR; /* the tool's 16-bit text unit */
#else
typedef uint_least16_t WCHAR;
#endif
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;

#ifndef WINAPI
#define WINAPI
#endif
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
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

/* {00AAC56B-CD44-11D0-8CC2-00C04FC295EE} */
#define WINTRUST_ACTION_GENERIC_VERIFY_V2            \
  {                                                  \
    0xaac56b, 0xcd44, 0x11d0, {                      \
      0x8c, 0xc2, 0x00, 0xc0, 0x4f, 0xc2, 0x95, 0xee \
    }                                                \
  }

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

/* ---- Status codes ------------------------------------------------------ */

#define SIGREPORT_HRESULT_(value) ((HRESULT)(value))

#define TRUST_E_PROVIDER_UNKNOWN SIGREPORT_HRESULT_(0x800B0001L)
#define TRUST_E_ACTION_UNKNOWN SIGREPORT_HRESULT_(0x800B0002L)
#define TRUST_E_SUBJECT_FORM_UNKNOWN SIGREPORT_HRESULT_(0x800B0003L)
#define TRUST_E_SUBJECT_NOT_TRUSTED SIGREPORT_HRESULT_(0x800B0004L)
#define TRUST_E_NOSIGNATURE SIGREPORT_HRESULT_(0x800B0100L)
#define CERT_E_EXPIRED SIGREPORT_HRESULT_(0x800B0101L)
#define CERT_E_CRITICAL SIGREPORT_HRESULT_(0x800B0105L)
#define CERT_E_UNTRUSTEDROOT SIGREPORT_HRESULT_(0x800B0109L)
#define CERT_E_CHAINING SIGREPORT_HRESULT_(0x800B010AL)
#define CERT_E_WRONG_USAGE SIGREPORT_HRESULT_(0x800B0110L)
#define TRUST_E_SYSTEM_ERROR SIGREPORT_HRESULT_(0x80096001L)
#define TRUST_E_NO_SIGNER_CERT SIGREPORT_HRESULT_(0x80096002L)
#define TRUST_E_CERT_SIGNATURE SIGREPORT_HRESULT_(0x80096004L)
#define TRUST_E_BAD_DIGEST SIGREPORT_HRESULT_(0x80096010L)
#define TRUST_E_BASIC_CONSTRAINTS SIGREPORT_HRESULT_(0x80096019L)
#define NTE_BAD_ALGID SIGREPORT_HRESULT_(0x80090008L)
#define CRYPT_E_FILE_ERROR SIGREPORT_HRESULT_(0x80092003L)
#define CRYPT_E_ASN1_EOD SIGREPORT_HRESULT_(0x80093102L)
#define CRYPT_E_ASN1_LARGE SIGREPORT_HRESULT_(0x80093104L)
#define CRYPT_E_ASN1_BADTAG SIGREPORT_HRESULT_(0x8009310BL)
#define E_OUTOFMEMORY SIGREPORT_HRESULT_(0x8007000EL)
#define E_INVALIDARG SIGREPORT_HRESULT_(0x80070057L)

/* ---- Request records --------------------------------------------------- */

typedef struct WINTRUST_FILE_INFO_ {
  DWORD cbStruct;
  LPCWSTR pcwszFilePath;
  HANDLE hFile;         /* ignored: the file is always opened by path */
  GUID* pgKnownSubject; /* ignored */
} WINTRUST_FILE_INFO, *PWINTRUST_FILE_INFO;

struct WINTRUST_CATALOG_INFO_;
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
struct _PROVDATA_SIP;
struct _CERT_USAGE_MATCH;
struct _CMSG_SIGNER_INFO;
struct _CERT_CHAIN_CONTEXT;
struct _CERT_CHAIN_ELEMENT;
struct _CTL_CONTEXT;

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
  struct _CMSG_SIGNER_INFO* psSigner;
  DWORD dwError;
  DWORD csCounterSigners;
  struct _CRYPT_PROVIDER_SGNR* pasCounterSigners;
  const struct _CERT_CHAIN_CONTEXT* pChainContext;
} CRYPT_PROVIDER_SGNR, *PCRYPT_PROVIDER_SGNR;

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

/* ---- Entry points ------------------------------------------------------ */

HRESULT WINAPI WinVerifyTrustEx(HWND hwnd, GUID* pgActionID, WINTRUST_DATA* pWinTrustData);

/* The provider data of a state that WinVerifyTrustEx returned and that is not
 * closed yet; null for any other handle. */
CRYPT_PROVIDER_DATA* WINAPI WTHelperProvDataFromStateData(HANDLE hStateData);

/* Signer idxSigner of the provider data, or, when fCounterSigner is true, its
 * counter-signer idxCounterSigner; null when absent. */
CRYPT_PROVIDER_SGNR* WINAPI WTHelperGetProvSignerFromChain(CRYPT_PROVIDER_DATA* pProvData, DWORD idxSigner,
                                                           BOOL fCounterSigner, DWORD idxCounterSigner);

/* Certificate idxCert of the signer's chain (0: the signing certificate);
 * null when absent. */
CRYPT_PROVIDER_CERT* WINAPI WTHelperGetProvCertFromChain(CRYPT_PROVIDER_SGNR* pSgnr, DWORD idxCert);

#ifdef __cplusplus
}
#endif

#endif /* SIGREPORT_WINTRUST_WINTRUST_H_ */
