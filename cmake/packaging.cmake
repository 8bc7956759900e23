# What `cmake --install` puts where, and the Debian package built from the
# same rules (`cpack -G DEB` in the build directory). Only the program and
# its desktop files are installed: the virtual stick, the tests and the
# benchmarks stay in the build directory.
include(GNUInstallDirs)

set(OSTREVIN_APP_ID io.github.ostrevin.Ostrevin)

install(TARGETS ostrevin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES packaging/${OSTREVIN_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES packaging/${OSTREVIN_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES packaging/ostrevin.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
  RENAME ${OSTREVIN_APP_ID}.svg)

# udev reads rules from /usr/lib/udev/rules.d (the distribution's) and
# /etc/udev/rules.d (the administrator's), never from /usr/local. The place
# is chosen when the files are installed, by the prefix they go to then: the
# package installs to /usr whatever the build directory was configured with.
set(OSTREVIN_UDEV_RULES_DIR "/etc/udev/rules.d" CACHE PATH
  "Where cmake --install puts the udev rule for a prefix other than /usr")
install(CODE "
  if(CMAKE_INSTALL_PREFIX MATCHES \"^/usr/?$\")
    set(ostrevin_udev_rules_dir /usr/lib/udev/rules.d)
  else()
    set(ostrevin_udev_rules_dir \"${OSTREVIN_UDEV_RULES_DIR}\")
  endif()
  file(INSTALL DESTINATION \"\${ostrevin_udev_rules_dir}\" TYPE FILE
    FILES \"${PROJECT_SOURCE_DIR}/packaging/60-ostrevin.rules\")")

# The Debian package. Its dependencies on shared libraries come from the
# binary (dpkg-shlibdeps). On Debian 12 those carry what the program loads at
# run time as well: the X11 (xcb) platform plugin and its GLX/EGL integration
# are in libqt6gui6, Qt Multimedia's PulseAudio sound and its media plugins
# in libqt6multimedia6, Mesa's drivers come with libglx0 (libglx-mesa0,
# libgl1-mesa-dri).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ostrevin)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Ostrevin")
set(CPACK_PACKAGE_CONTACT "Ostrevin maintainers <maintainers@users.noreply.c-seed-5859564e.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "live preview and lossless recording from an EasyCap USB 2.0 capture stick")
set(CPACK_PACKAGE_DESCRIPTION [[
Ostrevin drives an EasyCap USB 2.0 analogue capture stick (USB 05e1:0408)
from user space: a live preview of NTSC, PAL or PAL-60 video from the
Composite or S-Video input with the stick's sound or line-in, and lossless
recording to AVI files (HuffYUV video, PCM sound), made for digitising VHS
tapes. It installs a menu entry and a udev rule that lets the user at the
seat use the stick without root.]])
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The sound preview and the stick's sound go through a sound server.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pipewire-pulse | pulseaudio")
# Qt's SVG icon engine, loaded as a plugin (not linked): the window's icon.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
