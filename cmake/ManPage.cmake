include(GNUInstallDirs)

# Installs the troff page source (name.section) gzipped, as Debian wants man pages, and
# reproducibly so: -n keeps the name and time out of the header.
function(quillsum_man_page source)
  get_filename_component(page ${source} NAME)
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${page})
  set(copy ${CMAKE_CURRENT_BINARY_DIR}/${page})
  add_custom_command(
    OUTPUT ${copy}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/${source} ${copy}
    COMMAND gzip -9nf ${copy}
    DEPENDS ${source}
    VERBATIM
  )
  string(MAKE_C_IDENTIFIER ${page} target)
  add_custom_target(${target}_man ALL DEPENDS ${copy}.gz)
  install(FILES ${copy}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endfunction()
