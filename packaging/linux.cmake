# The Debian packages, built by CPack from the Linux build: zentravox-update, the program under a name
# that clashes with no other tool, and zentravox-target, the emulated product for firmware developers.
# Each with its man page, copyright and changelog; their library dependencies are found by
# dpkg-shlibdeps from what the programs link.
include(GNUInstallDirs)
find_program(UPDATE_GZIP gzip REQUIRED)

set(packaged ${CMAKE_BINARY_DIR}/packaged)
set(gzipped)
# Man pages and changelogs go compressed, without name or time in the gzip header.
function(update_gzipped_text template package name)
  set(plain ${packaged}/${package}/${name})
  update_release_text(${template} ${plain})
  add_custom_command(OUTPUT ${plain}.gz DEPENDS ${plain}
    COMMAND ${UPDATE_GZIP} -9nkf ${plain} VERBATIM)
  set(gzipped ${gzipped} ${plain}.gz PARENT_SCOPE)
endfunction()

foreach(package zentravox-update zentravox-target)
  set(PACKAGE ${package})
  update_release_text(copyright ${packaged}/${package}/copyright)
  update_gzipped_text(changelog.in ${package} changelog)
  update_gzipped_text(man/${package}.1 ${package} ${package}.1)
  install(FILES ${packaged}/${package}/copyright ${packaged}/${package}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${package})
  install(FILES ${packaged}/${package}/${package}.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${package})
endforeach()
add_custom_target(packaged_texts ALL DEPENDS ${gzipped})

# The program is installed under its package's name; it is stripped at the link (packaging/release.cmake).
install(PROGRAMS $<TARGET_FILE:update> DESTINATION ${CMAKE_INSTALL_BINDIR} RENAME zentravox-update
        COMPONENT zentravox-update)
install(PROGRAMS $<TARGET_FILE:zentravox-target> DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT zentravox-target)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL zentravox-update zentravox-target)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${UPDATE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

set(CPACK_DEBIAN_ZENTRAVOX-UPDATE_PACKAGE_NAME zentravox-update)
set(CPACK_COMPONENT_ZENTRAVOX-UPDATE_DESCRIPTION
"writes firmware images into Zentravox MIDI products
zentravox-update writes a new firmware image into a Zentravox MIDI product
over an ordinary MIDI connection (the ALSA sequencer, a JACK server, a USB
MIDI cable). Run it in the folder that holds the image file; it finds the
product among all MIDI ports and sends the image record by record.
.
Built from commit
${UPDATE_COMMIT}.")

set(CPACK_DEBIAN_ZENTRAVOX-TARGET_PACKAGE_NAME zentravox-target)
set(CPACK_COMPONENT_ZENTRAVOX-TARGET_DESCRIPTION
"emulated Zentravox MIDI product, for firmware developers
zentravox-target puts an emulated Zentravox product on MIDI ports (the ALSA
sequencer, JACK, or a raw MIDI device) and answers the update protocol as
the product does, keeping what it accepts in a flash file. Its options make
it refuse, delay, fall silent or flood the wire, to try an updater against a
product that misbehaves.
.
Built from commit
${UPDATE_COMMIT}.")

include(CPack)
