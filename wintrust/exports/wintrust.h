/* The trust service's interface on Linux: the four WinTrust entry points the
 * tool calls, with the published signatures, and the published records they
 * fill in or read (verifier/trust_records.h, over the statuses of
 * base/statuses.h), laid out member for member as the 64-bit Windows headers
 * lay them out, under the same names. The tool's code includes this header on
 * Linux and the platform's <wintrust.h> on Windows, unchanged, so every name
 * here is spelled as the platform spells it.
 *
 * C-compatible; depends on <stdint.h> and <stddef.h> only.
 *
 * Contract of WinVerifyTrustEx (action WINTRUST_ACTION_GENERIC_VERIFY_V2,
 * subject WTD_CHOICE_FILE, or WTD_CHOICE_CATALOG for a file judged as a
 * member of a catalog, whose signer the state then holds):
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
#ifndef SIGREPORT_WINTRUST_EXPORTS_WINTRUST_H_
#define SIGREPORT_WINTRUST_EXPORTS_WINTRUST_H_

#include "wintrust/verifier/trust_records.h"

#ifdef __cplusplus
extern "C" {
#endif

/* {00AAC56B-CD44-11D0-8CC2-00C04FC295EE} */
#define WINTRUST_ACTION_GENERIC_VERIFY_V2            \
  {                                                  \
    0xaac56b, 0xcd44, 0x11d0, {                      \
      0x8c, 0xc2, 0x00, 0xc0, 0x4f, 0xc2, 0x95, 0xee \
    }                                                \
  }

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

#endif /* SIGREPORT_WINTRUST_EXPORTS_WINTRUST_H_ */
