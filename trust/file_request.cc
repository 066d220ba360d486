#include "trust/file_request.h"

#include <cstddef>

namespace {

// WINTRUST_DATA as far as dwUIContext: the request form without the later
// signature settings, which no caller uses.
constexpr DWORD kRequestSize = offsetof(WINTRUST_DATA, dwUIContext) + sizeof(DWORD);

// WINTRUST_ACTION_GENERIC_VERIFY_V2, which the Windows headers keep in
// <softpub.h>.
constexpr GUID kGenericVerifyAction = {0x00AAC56B, 0xCD44, 0x11D0, {0x8C, 0xC2, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}};

void FillRequest(DWORD choice, WINTRUST_DATA* data) {
  data->cbStruct = kRequestSize;
  data->dwUIChoice = WTD_UI_NONE;
  data->fdwRevocationChecks = WTD_REVOKE_NONE;
  data->dwUnionChoice = choice;
  data->dwStateAction = WTD_STATEACTION_VERIFY;
  data->dwUIContext = WTD_UICONTEXT_EXECUTE;
}

}  // namespace

FileTrustRequest::FileTrustRequest(const WideChar* path) : action(kGenericVerifyAction), file{}, data{} {
  file.cbStruct = sizeof(file);
  file.pcwszFilePath = path;
  FillRequest(WTD_CHOICE_FILE, &data);
  data.pFile = &file;
}

CatalogMemberRequest::CatalogMemberRequest(const WideChar* catalogPath, const WideChar* memberPath,
                                           platform::CatalogMember& member)
    : action(kGenericVerifyAction), catalog{}, data{} {
  catalog.cbStruct = sizeof(catalog);
  catalog.pcwszCatalogFilePath = catalogPath;
  catalog.pcwszMemberFilePath = memberPath;
  if (!member.tag.empty()) catalog.pcwszMemberTag = member.tag.c_str();
  if (!member.hash.empty()) {
    catalog.pbCalculatedFileHash = member.hash.data();
    catalog.cbCalculatedFileHash = static_cast<DWORD>(member.hash.size());
  }
  FillRequest(WTD_CHOICE_CATALOG, &data);
  data.pCatalog = &catalog;
}
