// The request every verification of a file sends: the generic Authenticode
// action, no user interface, no revocation checks, and the verification state
// kept, so the caller can read the records and must then release them by
// sending the same request again with WTD_STATEACTION_CLOSE.
#pragma once

#include "platform/catalog.h"
#include "platform/text.h"
#include "platform/trust_api.h"

struct FileTrustRequest {
  explicit FileTrustRequest(const WideChar* path);
  // `data` points at `file`, so a copy would point at the original.
  FileTrustRequest(const FileTrustRequest&) = delete;
  FileTrustRequest& operator=(const FileTrustRequest&) = delete;

  GUID action;
  WINTRUST_FILE_INFO file;
  WINTRUST_DATA data;
};

// The same request for a file judged as a member of a catalog: the catalog's
// signature vouches for it. `member` is what the platform found of it
// (platform/catalog.h); the request points into it and into both paths.
struct CatalogMemberRequest {
  CatalogMemberRequest(const WideChar* catalogPath, const WideChar* memberPath, platform::CatalogMember& member);
  CatalogMemberRequest(const CatalogMemberRequest&) = delete;
  CatalogMemberRequest& operator=(const CatalogMemberRequest&) = delete;

  GUID action;
  WINTRUST_CATALOG_INFO catalog;
  WINTRUST_DATA data;
};
