# The trust library's sources, relative to this folder: included by
# wintrust/CMakeLists.txt and by the fuzzing build (fuzz/CMakeLists.txt),
# which compiles them again with its own instrumentation.
set(WINTRUST_INTERNAL_SOURCES
  authenticode_digest.cc
  cabinet.cc
  compound_file.cc
  chain_policy.cc
  chain_search.cc
  der_reader.cc
  file_source.cc
  msi_subject.cc
  pe_image.cc
  pe_subject.cc
  powershell_script.cc
  root_index.cc
  root_limits.cc
  rsassa_pss.cc
  script_text.cc
  signed_data.cc
  signer_check.cc
  subject.cc
  subject_digest.cc
  subject_registry.cc
  timestamp.cc
  trust_anchors.cc
  trust_state.cc
  verifier.cc
)
set(WINTRUST_EXPORT_SOURCES wintrust_exports.cc)
# What reads the root program's trust list and writes the index of its roots:
# the build tool and the tests, never the library.
set(WINTRUST_ROOT_LIST_SOURCES trust_list.cc root_index_builder.cc)
