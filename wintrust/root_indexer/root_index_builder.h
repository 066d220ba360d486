// Writes the index of the program's roots (root_index.h), at build time.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "wintrust/base/byte_view.h"
#include "wintrust/base/openssl_ptr.h"
#include "wintrust/root_indexer/trust_list.h"

namespace wintrust {

// The index of `certificates`, each of which the list must name and which
// must hold every root the list names. Nothing, with the reason in `error`,
// when they do not match.
std::optional<Bytes> BuildRootIndex(const std::vector<ListedRoot>& listed, const std::vector<X509Ptr>& certificates,
                                    std::string* error);

}  // namespace wintrust
