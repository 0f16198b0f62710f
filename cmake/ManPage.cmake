# Manual pages made by help2man from each program's own --help and --version, so that page and
# program cannot disagree. Without help2man there are none (a developer build need not have it;
# scripts/bootstrap installs it, and packages are built with it).
include(GNUInstallDirs)
find_program(HELP2MAN help2man)

function(vhbr_man_page target description)
  if(NOT HELP2MAN)
    return()
  endif()
  set(page ${CMAKE_BINARY_DIR}/man/${target}.1)
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${HELP2MAN} --no-info --name=${description} --output=${page} $<TARGET_FILE:${target}>
    COMMAND gzip -9nf ${page}
    DEPENDS ${target}
    COMMENT "Manual page ${target}(1)"
    VERBATIM)
  add_custom_target(${target}-man ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()
