// Build tool: makes the index of the program's roots (root_index.h) from the
// root program's certificate trust list, the certificates it names and the
// list of the roots Windows requires and ships itself (required_roots.h).
//
// Usage: make_root_index LIST.stl ROOTS.pem REQUIRED.txt OUTPUT
#include <openssl/pem.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "wintrust/root_indexer/required_roots.h"
#include "wintrust/root_indexer/root_index_builder.h"
#include "wintrust/root_indexer/trust_list.h"

namespace {

bool ReadFile(const char* path, wintrust::Bytes* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

std::vector<wintrust::X509Ptr> ReadCertificates(const wintrust::Bytes& pem) {
  std::vector<wintrust::X509Ptr> certificates;
  std::unique_ptr<BIO, wintrust::OpenSslDeleter<BIO_free>> bio(
      BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  while (bio) {
    wintrust::X509Ptr certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!certificate) break;
    certificates.push_back(std::move(certificate));
  }
  return certificates;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "make_root_index: %s\n", message.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) return Fail("usage: make_root_index LIST.stl ROOTS.pem REQUIRED.txt OUTPUT");
  wintrust::Bytes list, pem, requiredText;
  if (!ReadFile(argv[1], &list)) return Fail(std::string("cannot read ") + argv[1]);
  if (!ReadFile(argv[2], &pem)) return Fail(std::string("cannot read ") + argv[2]);
  if (!ReadFile(argv[3], &requiredText)) return Fail(std::string("cannot read ") + argv[3]);
  auto listed = wintrust::ReadTrustList(list);
  if (!listed) return Fail(std::string(argv[1]) + " is not a certificate trust list");
  std::string error;
  auto required = wintrust::ReadRequiredRoots(
      std::string_view(reinterpret_cast<const char*>(requiredText.data()), requiredText.size()), &error);
  if (!required) return Fail(std::string(argv[3]) + ", " + error);
  if (!wintrust::ApplyRequiredRoots(*required, &*listed, &error)) return Fail(error);
  auto index = wintrust::BuildRootIndex(*listed, ReadCertificates(pem), &error);
  if (!index) return Fail(error);
  std::string temporary = std::string(argv[4]) + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(index->data()), static_cast<std::streamsize>(index->size()));
    if (!out) return Fail("cannot write " + temporary);
  }
  if (std::rename(temporary.c_str(), argv[4]) != 0) return Fail(std::string("cannot write ") + argv[4]);
  std::printf("%zu roots, %zu of them required by Windows\n", listed->size(), required->size());
  return 0;
}
