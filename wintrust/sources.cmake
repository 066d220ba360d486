# The trust library's rooms, lowest first: each room's folder, its sources
# and the rooms below it that it may use. Read by wintrust/CMakeLists.txt,
# which builds a library per room linked in this order, and by the fuzzing
# build (fuzz/CMakeLists.txt), which compiles the same sources again with its
# own instrumentation. Paths are relative to this folder.
set(WINTRUST_ROOMS base subject pe cab msi script appx catalog roots chain signature verifier)

set(WINTRUST_base_SOURCES base/byte_view.cc base/certificate_names.cc base/der_reader.cc base/file_source.cc base/library_context.cc
    base/trust_list.cc)
set(WINTRUST_base_USES)

set(WINTRUST_subject_SOURCES subject/subject.cc subject/subject_digest.cc)
set(WINTRUST_subject_USES base)

set(WINTRUST_pe_SOURCES pe/image_digest.cc pe/pe_image.cc pe/pe_subject.cc)
set(WINTRUST_pe_USES subject)

set(WINTRUST_cab_SOURCES cab/cabinet.cc cab/cabinet_structure.cc)
set(WINTRUST_cab_USES subject)

set(WINTRUST_msi_SOURCES msi/compound_file.cc msi/msi_subject.cc)
set(WINTRUST_msi_USES subject)

set(WINTRUST_script_SOURCES script/powershell_script.cc script/script_text.cc)
set(WINTRUST_script_USES subject)

# MSIX/APPX packages: ZIP read here, deflate through zlib, the block map's
# XML through expat (WINTRUST_<room>_LIBS: what a room links from the system).
set(WINTRUST_appx_SOURCES appx/appx_subject.cc appx/block_check.cc appx/block_map.cc appx/package_pass.cc appx/zip_archive.cc appx/zip_content.cc)
set(WINTRUST_appx_USES subject)
set(WINTRUST_appx_LIBS ZLIB::ZLIB EXPAT::EXPAT)

# Catalogs: the file is the signature, whose signed content the verifier
# hashes, so the room knows only the headers that tell a catalog.
set(WINTRUST_catalog_SOURCES catalog/catalog_subject.cc)
set(WINTRUST_catalog_USES subject)

set(WINTRUST_roots_SOURCES roots/root_index.cc roots/root_limits.cc roots/trust_anchors.cc)
set(WINTRUST_roots_USES base)

set(WINTRUST_chain_SOURCES chain/certificate_bag.cc chain/chain_policy.cc chain/chain_search.cc chain/public_key_decoder.cc
    chain/signature_budget.cc)
set(WINTRUST_chain_USES roots)

set(WINTRUST_signature_SOURCES
  signature/digest_policy.cc
  signature/rsassa_pss.cc
  signature/signed_data.cc
  signature/signer_check.cc
  signature/timestamp.cc)
set(WINTRUST_signature_USES chain)

# The order of the checks, the records handed back, and the table of
# subjects.
set(WINTRUST_verifier_SOURCES verifier/catalog_member.cc verifier/subject_registry.cc verifier/trust_state.cc verifier/verifier.cc)
set(WINTRUST_verifier_USES pe cab msi script appx catalog signature)

# The published interface, above the verifier: wintrust.h, the export map and
# the four entry points, which are compiled only into the shared library.
set(WINTRUST_EXPORT_SOURCES exports/wintrust_exports.cc)
set(WINTRUST_EXPORT_USES verifier)

# What reads the root program's trust list and writes the index of its roots:
# the build tool and the tests, never the library.
set(WINTRUST_ROOT_INDEXER_SOURCES root_indexer/required_roots.cc root_indexer/root_index_builder.cc root_indexer/trust_list.cc)
set(WINTRUST_ROOT_INDEXER_USES signature)
