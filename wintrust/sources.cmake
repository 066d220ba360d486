# The trust library's sources, relative to this folder: included by
# wintrust/CMakeLists.txt and by the fuzzing build (fuzz/CMakeLists.txt),
# which compiles them again with its own instrumentation.
set(WINTRUST_INTERNAL_SOURCES
  authenticode_digest.cc
  chain_policy.cc
  chain_search.cc
  der_reader.cc
  file_source.cc
  pe_image.cc
  root_index.cc
  root_limits.cc
  signed_data.cc
  signer_check.cc
  timestamp.cc
  trust_anchors.cc
  trust_state.cc
  verifier.cc
)
set(WINTRUST_EXPORT_SOURCES wintrust_exports.cc)
# What reads the root program's trust list and writes the index of its roots:
# the build tool and the tests, never the library.
set(WINTRUST_ROOT_LIST_SOURCES trust_list.cc root_index_builder.cc)
