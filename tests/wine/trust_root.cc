// Test-only Windows helper: adds DER certificates to the local machine's
// "Root" store, so that a Wine prefix of the tests trusts the test roots.
// All of them in one run: where 32-bit programs are emulated, every start
// costs about a minute.
//   trust_root.exe ROOT.der...
#include <windows.h>
// The crypto API header needs the base definitions first.
#include <wincrypt.h>

#include <cstdio>
#include <vector>

namespace {

// Adds the certificate in the DER file `path` to `store`; false after saying why.
bool AddCertificate(HCERTSTORE store, const wchar_t* path) {
  FILE* file = _wfopen(path, L"rb");
  if (file == nullptr) {
    std::fprintf(stderr, "cannot open the certificate %ls\n", path);
    return false;
  }
  std::vector<BYTE> der;
  for (int byte; (byte = std::fgetc(file)) != EOF;) der.push_back(static_cast<BYTE>(byte));
  std::fclose(file);
  if (!CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                        CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
    std::fprintf(stderr, "cannot add the certificate %ls: %lu\n", path, GetLastError());
    return false;
  }
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fputs("usage: trust_root ROOT.der...\n", stderr);
    return 2;
  }
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  if (store == nullptr) {
    std::fprintf(stderr, "cannot open the Root store: %lu\n", GetLastError());
    return 1;
  }
  bool added = true;
  for (int i = 1; i < argc; ++i) added = AddCertificate(store, argv[i]) && added;
  CertCloseStore(store, 0);
  return added ? 0 : 1;
}
