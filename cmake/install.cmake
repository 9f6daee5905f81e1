# The install tree and the Debian package.
#
# `cmake --install <build> --prefix <P>` lays the deliverables out as:
#   <P>/bin/            programs (mvncsend, mvnspoold, mvnprint, mvnreg, ...)
#   <P>/lib/mvn/        loadable modules (delivery modules, port monitors) and
#                       the dialogs' Qt backend: private, not on the loader's path
#   <P>/share/mvn/      data (sample INI files, later PPD, language and tip files)
#   <P>/share/doc/mvnfax/  the guide, the design notes, copyright and
#                       changelog.gz (as Debian keeps them)
#   <P>/share/applications/dashpost.desktop and
#   <P>/share/icons/hicolor/scalable/apps/dashpost.svg
#                       Dashpost's entry in the desktop's menu
# A program finds modules by a bare name (and the Qt backend) in
# <its own directory>/../lib/mvn, so the tree works wherever it is put.
#
# `cpack -G DEB` in a configured build tree makes a Debian package of the same
# tree under /usr, its run-time dependencies computed from the binaries
# (dpkg-shlibdeps, from dpkg-dev).
#
# A deliverable joins the tree and the package with one call right after its
# target: mvn_install_program(<target>), mvn_install_module(<target>),
# mvn_install_data(<files...> [DESTINATION <subfolder>]),
# mvn_install_data_folder(<folder> [DESTINATION <subfolder>]),
# mvn_install_docs(<files...>).

set(MVN_INSTALL_BINDIR bin)
set(MVN_INSTALL_MODULEDIR lib/mvn)
set(MVN_INSTALL_DATADIR share/mvn)
set(MVN_INSTALL_DOCDIR share/doc/mvnfax)

# The module folder as seen from the programs' folder ("../lib/mvn"): the
# module and dialogs layers look there, relative to the running program.
file(RELATIVE_PATH MVN_MODULEDIR_FROM_PROGRAM "/${MVN_INSTALL_BINDIR}" "/${MVN_INSTALL_MODULEDIR}")
add_compile_definitions(MVN_MODULEDIR_FROM_PROGRAM="${MVN_MODULEDIR_FROM_PROGRAM}")

# Programs and modules of the build tree find the Qt backend in
# <build>/lib/mvn/ as installed ones do (cmake/mvn.cmake); test binaries,
# which lie elsewhere, find it through the run path every file of the build
# tree carries. mvn_install_program and mvn_install_module remove the run
# path from the installed file, so an installed file never refers to the
# build tree. (Given to the linker directly: CMake's own build run path ends
# with an empty entry, which the loader reads as the current directory.)
add_link_options("LINKER:-rpath,${MVN_BUILD_MODULEDIR}")

function(mvn_remove_installed_run_path file)
  install(CODE "file(RPATH_REMOVE FILE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${file}\")")
endfunction()

function(mvn_install_program target)
  install(TARGETS ${target} RUNTIME DESTINATION ${MVN_INSTALL_BINDIR})
  mvn_remove_installed_run_path("${MVN_INSTALL_BINDIR}/$<TARGET_FILE_NAME:${target}>")
endfunction()

function(mvn_install_module target)
  install(TARGETS ${target} LIBRARY DESTINATION ${MVN_INSTALL_MODULEDIR})
  mvn_remove_installed_run_path("${MVN_INSTALL_MODULEDIR}/$<TARGET_FILE_NAME:${target}>")
endfunction()

# mvn_install_data(<files...> [DESTINATION <subfolder of share/mvn>])
function(mvn_install_data)
  cmake_parse_arguments(D "" "DESTINATION" "" ${ARGN})
  set(destination ${MVN_INSTALL_DATADIR})
  if(D_DESTINATION)
    string(APPEND destination "/${D_DESTINATION}")
  endif()
  install(FILES ${D_UNPARSED_ARGUMENTS} DESTINATION ${destination})
endfunction()

# mvn_install_data_folder(<folder> [DESTINATION <subfolder of share/mvn>]):
# a folder with everything in it (printer-driver folders, for example).
function(mvn_install_data_folder folder)
  cmake_parse_arguments(D "" "DESTINATION" "" ${ARGN})
  set(destination ${MVN_INSTALL_DATADIR})
  if(D_DESTINATION)
    string(APPEND destination "/${D_DESTINATION}")
  endif()
  install(DIRECTORY ${folder} DESTINATION ${destination})
endfunction()

function(mvn_install_docs)
  install(FILES ${ARGN} DESTINATION ${MVN_INSTALL_DOCDIR})
endfunction()

# Dashpost's menu entry and icon (packaging/), and the package's copyright
# and changelog in its document folder; the changelog compressed as Debian
# keeps it (gzip -n: no name or time stamp, so the file is the same on
# every build).
set(MVN_PACKAGING ${CMAKE_SOURCE_DIR}/packaging)
install(FILES ${MVN_PACKAGING}/dashpost.desktop DESTINATION share/applications)
install(FILES ${MVN_PACKAGING}/dashpost.svg DESTINATION share/icons/hicolor/scalable/apps)
set(MVN_CHANGELOG_GZ ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${MVN_CHANGELOG_GZ}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
  COMMAND gzip -9nc ${MVN_PACKAGING}/changelog > ${MVN_CHANGELOG_GZ}
  DEPENDS ${MVN_PACKAGING}/changelog
  COMMENT "The package's changelog.gz")
add_custom_target(mvn_changelog ALL DEPENDS ${MVN_CHANGELOG_GZ})
mvn_install_docs(${MVN_PACKAGING}/copyright ${MVN_CHANGELOG_GZ})

# The package.
set(CPACK_PACKAGE_NAME mvnfax)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Morvane International")
set(CPACK_PACKAGE_CONTACT "Morvane International <support@morvane.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "fax submission desktop: the Dashpost client, send client and fax printer")
set(CPACK_PACKAGE_DESCRIPTION
    "Prepares fax jobs on the workstation and hands them to the fax server by mail, through a directory or through the server's render mailslot: the address-book client Dashpost (in the desktop's menu), the send client mvncsend with its delivery modules, the printer installer prnsetup, the spooler service mvnspoold with the fax port monitor, the application launchers and the registry tool mvnreg.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
# What the programs start besides their libraries: xdg-open opens the send
# log's viewers and the help tips' links. The libraries themselves are
# computed from the binaries (dpkg-shlibdeps) and added to this list.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "xdg-utils")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The modules in lib/mvn are private objects without a soname: their own
# dependencies are computed too, but nothing may depend on them.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_SOURCE_IGNORE_FILES "/build/" "/\\\\.git/")
include(CPack)

file(GLOB MVN_DOCS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/*.md)
mvn_install_docs(${CMAKE_SOURCE_DIR}/README.md ${MVN_DOCS})
