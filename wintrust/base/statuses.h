/* The Windows-facing ground of the trust library: the platform's type names
 * and the statuses Windows gives, spelled as the platform spells them. Every
 * room that answers with a status uses these; the published records and
 * entry points (exports/wintrust.h) are built on them.
 *
 * C-compatible; depends on <stdint.h> only.
 */
#ifndef SIGREPORT_WINTRUST_BASE_STATUSES_H_
#define SIGREPORT_WINTRUST_BASE_STATUSES_H_

#include <stdint.h>

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

#endif /* SIGREPORT_WINTRUST_BASE_STATUSES_H_ */
