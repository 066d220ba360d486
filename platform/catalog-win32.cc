// <windows.h> and <wintrust.h> must come before <wincrypt.h>, and that
// before <mscat.h>.
#include "platform/trust_api.h"

#include <wincrypt.h>

#include <mscat.h>

#include <cstring>
#include <vector>

#include "platform/catalog.h"
#include "platform/text.h"

namespace platform {
namespace {

using Hash = std::vector<uint8_t>;

// The file's SHA-1 hash as the catalog functions compute it for a catalog
// member; empty when they cannot.
Hash Sha1Hash(HANDLE file) {
  Hash hash(20);
  DWORD size = static_cast<DWORD>(hash.size());
  if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
      !CryptCATAdminCalcHashFromFileHandle(file, &size, hash.data(), 0) || size != hash.size()) {
    return {};
  }
  return hash;
}

// The same with SHA-256, through the functions of Windows 8 and later,
// found at run time: systems without them (Wine among them) list no member
// by that hash for us.
Hash Sha256Hash(HANDLE file) {
  using AcquireContext2 = BOOL(WINAPI*)(HCATADMIN*, const GUID*, const WCHAR*, const void*, DWORD);
  using CalcHash2 = BOOL(WINAPI*)(HCATADMIN, HANDLE, DWORD*, BYTE*, DWORD);
  const HMODULE library = GetModuleHandleW(L"wintrust.dll");
  if (library == nullptr) return {};
  const auto acquire = reinterpret_cast<AcquireContext2>(
      reinterpret_cast<void*>(GetProcAddress(library, "CryptCATAdminAcquireContext2")));
  const auto calculate = reinterpret_cast<CalcHash2>(
      reinterpret_cast<void*>(GetProcAddress(library, "CryptCATAdminCalcHashFromFileHandle2")));
  HCATADMIN admin = nullptr;
  if (acquire == nullptr || calculate == nullptr || !acquire(&admin, nullptr, L"SHA256", nullptr, 0)) return {};
  Hash hash(32);
  DWORD size = static_cast<DWORD>(hash.size());
  const bool made = SetFilePointer(file, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
                    calculate(admin, file, &size, hash.data(), 0) && size == hash.size();
  CryptCATAdminReleaseContext(admin, 0);
  return made ? hash : Hash{};
}

bool SameHash(const CRYPT_HASH_BLOB& digest, const Hash& hash) {
  return !hash.empty() && digest.cbData == hash.size() && std::memcmp(digest.pbData, hash.data(), hash.size()) == 0;
}

}  // namespace

bool FindCatalogMember(const WideChar* catalogPath, const WideChar* memberPath, CatalogMember* member,
                       uint32_t* status) {
  const HANDLE file =
      CreateFileW(memberPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *status = GetLastError();
    return false;
  }
  const Hash hashes[] = {Sha1Hash(file), Sha256Hash(file)};
  CloseHandle(file);

  // CryptCATOpen takes the name as writable text.
  std::vector<WideChar> catalogName(catalogPath, catalogPath + WideLength(catalogPath) + 1);
  const HANDLE catalog = CryptCATOpen(catalogName.data(), CRYPTCAT_OPEN_EXISTING, 0, 0, 0);
  if (catalog == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    *status = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_ACCESS_DENIED
                  ? error
                  : static_cast<uint32_t>(TRUST_E_SUBJECT_FORM_UNKNOWN);
    return false;
  }
  // The whole list is walked even after a match: Wine frees the member it
  // hands out only when the walk ends.
  bool found = false;
  for (CRYPTCATMEMBER* entry = CryptCATEnumerateMember(catalog, nullptr); entry != nullptr;
       entry = CryptCATEnumerateMember(catalog, entry)) {
    if (found || entry->pIndirectData == nullptr || entry->pwszReferenceTag == nullptr) continue;
    for (const Hash& hash : hashes) {
      if (!SameHash(entry->pIndirectData->Digest, hash)) continue;
      member->tag = entry->pwszReferenceTag;
      member->hash = hash;
      found = true;
      break;
    }
  }
  CryptCATClose(catalog);
  if (!found) *status = static_cast<uint32_t>(TRUST_E_NOSIGNATURE);
  return found;
}

}  // namespace platform
