# The trust library's sources, relative to this folder: included by
# wintrust/CMakeLists.txt and by the fuzzing build (fuzz/CMakeLists.txt),
# which compiles them again with its own instrumentation.
set(WINTRUST_INTERNAL_SOURCES
  authenticode_digest.cc
  chain_policy.cc
  der_reader.cc
  file_source.cc
  pe_image.cc
  rsassa_pss.cc
  signed_data.cc
  signer_check.cc
  timestamp.cc
  trust_state.cc
  verifier.cc
)
set(WINTRUST_EXPORT_SOURCES wintrust_exports.cc)
