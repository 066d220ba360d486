// Test helper: fills a verification request for one file the way the tool
// fills its own: no user interface, no revocation checking, the request form
// that ends at dwUIContext.
#ifndef SIGREPORT_WINTRUST_TEST_REQUEST_H_
#define SIGREPORT_WINTRUST_TEST_REQUEST_H_

#include <cstddef>

#include "wintrust/exports/wintrust.h"

inline void FillFileRequest(const WCHAR* path, WINTRUST_FILE_INFO* file, WINTRUST_DATA* request) {
  *file = WINTRUST_FILE_INFO{};
  file->cbStruct = sizeof *file;
  file->pcwszFilePath = path;
  *request = WINTRUST_DATA{};
  request->cbStruct = offsetof(WINTRUST_DATA, dwUIContext) + sizeof(DWORD);
  request->dwUIChoice = WTD_UI_NONE;
  request->fdwRevocationChecks = WTD_REVOKE_NONE;
  request->dwUnionChoice = WTD_CHOICE_FILE;
  request->pFile = file;
  request->dwStateAction = WTD_STATEACTION_VERIFY;
  request->dwUIContext = WTD_UICONTEXT_EXECUTE;
}

#endif  // SIGREPORT_WINTRUST_TEST_REQUEST_H_
