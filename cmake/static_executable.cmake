# Links a program of ours statically, still position-independent (its addresses stay
# randomised): the dynamic loader would be most of a short-lived program's start-up, and a
# long-lived one's resident memory would count every page of the shared C++ runtime it maps.
# Only what it calls goes in. Sanitizer runtimes need the dynamic loader, so sanitized builds
# stay dynamic.
include(CheckLinkerFlag)
check_linker_flag(CXX "-Wl,-z,pack-relative-relocs" QUILLBEAM_LINKER_PACKS_RELOCS)

function(quillbeam_link_statically target)
  set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  if(QUILLBEAM_SANITIZE)
    target_link_options(${target} PRIVATE -Wl,--as-needed)
    return()
  endif()
  target_link_options(${target} PRIVATE -static-pie)
  # Packed relative relocations: the table a program relocates itself from at start-up
  # shrinks from about 110 KiB to 1 KiB.
  if(QUILLBEAM_LINKER_PACKS_RELOCS)
    target_link_options(${target} PRIVATE -Wl,-z,pack-relative-relocs)
  endif()
endfunction()
