# Installing the studio tools: the three programs, a man page for each and the README with its docs/, all in
# the "tools" component, which is what the Debian package of the tools holds (cmake/Packaging.cmake).
# Nothing else of the project is in that component.
#   cmake --install build/release --component tools --prefix DIR

# The fuzz build's tools are instrumented: nothing there to install or document.
if(HALCYNE_FUZZ)
  return()
endif()

include(GNUInstallDirs)

set(HALCYNE_TOOLS_PACKAGE halcyne-tools)
set(HALCYNE_TOOLS_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/${HALCYNE_TOOLS_PACKAGE})

set(_halcyne_tools halcyne-publish halcyne-stamp halcyne-delivery)
set(_halcyne_man_name_halcyne-publish "publish a folder as a package of a delivery site")
set(_halcyne_man_name_halcyne-stamp "read or rewrite the string table of a built halcyne-updater")
set(_halcyne_man_name_halcyne-delivery "serve a published site as the updater's delivery service, locally")

# Resolve every symbol at start-up, so that the whole relocation table can be made read-only (full RELRO),
# as Debian builds its own programs. A link option only: the objects stay the same and cached.
foreach(tool ${_halcyne_tools})
  target_link_options(${tool} PRIVATE -Wl,-z,relro,-z,now)
endforeach()

install(TARGETS ${_halcyne_tools} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
# A stripped install (cmake --install --strip, and CPack) also drops the compiler's notes, as Debian's
# strip does: nothing at run time reads them.
foreach(tool ${_halcyne_tools})
  install(CODE "if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
                    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${tool}\"
                    COMMAND_ERROR_IS_FATAL ANY)
  endif()" COMPONENT tools)
endforeach()
# The README with the pages under docs/ that it links to, laid out as in the source tree so that its links
# resolve where it is installed.
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${HALCYNE_TOOLS_DOCDIR} COMPONENT tools)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${HALCYNE_TOOLS_DOCDIR}/docs COMPONENT tools
        FILES_MATCHING PATTERN "*.md" PATTERN "*.png")
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/package/copyright DESTINATION ${HALCYNE_TOOLS_DOCDIR} COMPONENT tools)

# The man pages are made from each built tool's own --help and --version, so that they say what the tool
# says; they are rebuilt whenever the tool is. Compressed the way Debian installs man pages (gzip -9n: no
# name or time stamp inside, so the same page gives the same bytes).
find_program(HALCYNE_HELP2MAN help2man)
find_program(HALCYNE_GZIP gzip)
if(NOT HALCYNE_HELP2MAN OR NOT HALCYNE_GZIP)
  message(WARNING "help2man or gzip not found (scripts/setup installs them): the tools' man pages are not built")
  return()
endif()

set(_halcyne_man_dir ${CMAKE_CURRENT_BINARY_DIR}/man)
set(_halcyne_man_pages)
foreach(tool ${_halcyne_tools})
  set(page ${_halcyne_man_dir}/${tool}.1)
  add_custom_command(
    OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_halcyne_man_dir}
    COMMAND ${HALCYNE_HELP2MAN} --no-info --section=1
            "--name=${_halcyne_man_name_${tool}}" --include=${CMAKE_CURRENT_SOURCE_DIR}/man/tools.h2m
            --output=${page} "'${CMAKE_CURRENT_SOURCE_DIR}/man/gnu-usage' '$<TARGET_FILE:${tool}>'"
    COMMAND ${HALCYNE_GZIP} -9nf ${page}
    DEPENDS ${tool} ${CMAKE_CURRENT_SOURCE_DIR}/man/gnu-usage ${CMAKE_CURRENT_SOURCE_DIR}/man/tools.h2m
    COMMENT "Generating the man page of ${tool}"
    VERBATIM)
  list(APPEND _halcyne_man_pages ${page}.gz)
endforeach()
add_custom_target(halcyne-man ALL DEPENDS ${_halcyne_man_pages})
install(FILES ${_halcyne_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
