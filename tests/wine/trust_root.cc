// Test-only Windows helper: adds a DER certificate to the local machine's
// "Root" store, so that a Wine prefix of the tests trusts the test root.
//   trust_root.exe ROOT.der
#include <windows.h>
// The crypto API header needs the base definitions first.
#include <wincrypt.h>

#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fputs("usage: trust_root ROOT.der\n", stderr);
    return 2;
  }
  FILE* file = _wfopen(argv[1], L"rb");
  if (file == nullptr) {
    std::fputs("cannot open the certificate\n", stderr);
    return 1;
  }
  std::vector<BYTE> der;
  for (int byte; (byte = std::fgetc(file)) != EOF;) der.push_back(static_cast<BYTE>(byte));
  std::fclose(file);

  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  if (store == nullptr) {
    std::fprintf(stderr, "cannot open the Root store: %lu\n", GetLastError());
    return 1;
  }
  const BOOL added = CertAddEncodedCertificateToStore(
      store, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  const DWORD error = GetLastError();
  CertCloseStore(store, 0);
  if (!added) {
    std::fprintf(stderr, "cannot add the certificate: %lu\n", error);
    return 1;
  }
  return 0;
}
