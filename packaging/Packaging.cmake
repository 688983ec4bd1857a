# Installation and the Debian package (./package.sh). Everything a desktop and Wireshark need
# besides the programs: desktop entry, icons, metainfo, man pages, the dissector, the sample tone.

include(GNUInstallDirs)

# The programs the package carries; each has its man page in docs/man/<program>.1.
set(UDPPHONE_PACKAGED_PROGRAMS udpphone udpphone-peer)

# The installed program lives in a folder the user cannot write, so its voice files go to the
# user's own data folder, made at start from the installed sample tone. Builds from the source
# tree keep them beside the executable.
option(UDPPHONE_USER_VOICE_FOLDER
       "Keep the voice files in the user's data folder, made at start with the installed tone" OFF)
set(UDPPHONE_DATA_DIR ${CMAKE_INSTALL_DATADIR}/udpphone)
if(UDPPHONE_USER_VOICE_FOLDER)
  set_property(SOURCE src/app/VoiceFolder.cpp APPEND PROPERTY COMPILE_DEFINITIONS
    UDPPHONE_SAMPLE_TONE="${CMAKE_INSTALL_FULL_DATADIR}/udpphone/send.au")
endif()

# The release history in the metainfo is the one place the version is written.
set(metainfo ${CMAKE_SOURCE_DIR}/packaging/io.github.udpphone.udpphone.metainfo.xml)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${metainfo})
file(STRINGS ${metainfo} release REGEX "<release version=" LIMIT_COUNT 1)
string(REGEX REPLACE ".*<release version=\"([^\"]+)\".*" "\\1" UDPPHONE_VERSION "${release}")

# Wireshark loads Lua dissectors from its global Lua plug-in folder; ask the installed tshark
# where that is, as the folder moved between Wireshark releases.
set(UDPPHONE_WIRESHARK_PLUGIN_DIR "" CACHE PATH "Wireshark's folder for Lua plug-ins")
if(NOT UDPPHONE_WIRESHARK_PLUGIN_DIR)
  find_program(UDPPHONE_TSHARK tshark)
  set(plugins "")
  if(UDPPHONE_TSHARK)
    execute_process(COMMAND ${UDPPHONE_TSHARK} -G folders
      OUTPUT_VARIABLE folders ERROR_QUIET TIMEOUT 30)
    string(REGEX MATCH "Global Lua Plugins:[ \t]*([^\r\n]*)" found "${folders}")
    set(plugins "${CMAKE_MATCH_1}")
  endif()
  if(plugins)
    # Under the install prefix it stays relative, so a staged install and the package agree.
    file(RELATIVE_PATH relative "${CMAKE_INSTALL_PREFIX}" "${plugins}")
    if(NOT relative MATCHES "^\\.\\.")
      set(plugins "${relative}")
    endif()
  else()
    set(plugins ${CMAKE_INSTALL_LIBDIR}/wireshark/plugins)
  endif()
  set(UDPPHONE_WIRESHARK_PLUGIN_DIR "${plugins}" CACHE PATH
      "Wireshark's folder for Lua plug-ins" FORCE)
endif()

# The icon the program draws, exported at the usual sizes by the same drawing code.
add_executable(export_icon tools/export_icon.cpp)
target_link_libraries(export_icon PRIVATE udpphone_core)
set(icon_root ${CMAKE_BINARY_DIR}/icons)
add_custom_command(OUTPUT ${icon_root}/hicolor/256x256/apps/udpphone.png
  COMMAND export_icon ${icon_root} udpphone
  DEPENDS export_icon
  COMMENT "Exporting the program's icon")

# The sample tone, made by the same tool that places it beside a source-tree build.
set(sample_dir ${CMAKE_BINARY_DIR}/sample)
add_custom_command(OUTPUT ${sample_dir}/send.au
  COMMAND ${CMAKE_COMMAND} -E make_directory ${sample_dir}
  COMMAND make_voice_files ${sample_dir}
  DEPENDS make_voice_files
  COMMENT "Making the sample tone")

# Man pages are installed compressed, as Debian's are.
set(man_pages "")
foreach(program IN LISTS UDPPHONE_PACKAGED_PROGRAMS)
  set(page ${CMAKE_BINARY_DIR}/man/${program}.1.gz)
  add_custom_command(OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND gzip -9nc ${CMAKE_SOURCE_DIR}/docs/man/${program}.1 > ${page}
    DEPENDS ${CMAKE_SOURCE_DIR}/docs/man/${program}.1
    COMMENT "Compressing the man page of ${program}")
  list(APPEND man_pages ${page})
endforeach()

add_custom_target(udpphone_install_files ALL
  DEPENDS ${icon_root}/hicolor/256x256/apps/udpphone.png ${sample_dir}/send.au ${man_pages})

install(TARGETS ${UDPPHONE_PACKAGED_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES packaging/udpphone.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES packaging/io.github.udpphone.udpphone.metainfo.xml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(DIRECTORY ${icon_root}/hicolor DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)
install(FILES ${sample_dir}/send.au DESTINATION ${UDPPHONE_DATA_DIR})
# The scenarios that come with the peer, with the tone they stream beside them (a scenario finds
# its stream files from its own folder), and the description of their format.
install(FILES scenarios/full-call.scenario scenarios/stranger-talk.scenario scenarios/tone.au
  DESTINATION ${UDPPHONE_DATA_DIR}/scenarios)
install(FILES docs/scenarios.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES tools/wireshark/udpphone.lua DESTINATION ${UDPPHONE_WIRESHARK_PLUGIN_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME udpphone)
set(CPACK_PACKAGE_VERSION ${UDPPHONE_VERSION})
set(CPACK_PACKAGE_CONTACT "udpphone maintainers <maintainers@udpphone.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "reference endpoint for a small voice-over-UDP telephone protocol")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "udpphone places and answers calls with one peer that speaks a small telephone
protocol over UDP (Ring, Talk, Disconnect), answers and logs the peer's
requests, and streams voice files both ways in 416-byte datagrams every 47 ms.
People who build devices that speak this protocol use it as a known-good
partner on the other end of the line.

The package also carries udpphone-peer, a headless endpoint of the same
protocol for scripts and CI jobs that answers, calls, sends single datagrams
and load, and gives its verdict as its exit status, and a Wireshark dissector
for the protocol.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window's layout is measured in this face; Wayland sessions want Qt's Wayland plug-in.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-ipafont-gothic")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "tshark | wireshark")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
include(CPack)
