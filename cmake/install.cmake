# cmake --install BUILD --prefix DIR lays out what a user runs:
#   DIR/lib/tavrinel/   the phone and its \Windows folder: libplatform.so, the
#                       modules (Tavrinel.dll, Lumarc.dll, FMS_API.dll,
#                       VorliskClient.exe), the default scenario, the demo
#   DIR/bin/            phone and fmdemo (links into lib/tavrinel), tmcview, rdsdemod,
#                       read_port.py, rds-player.sh
# Nothing only tests use is installed.
if(WIN32)
  return()
endif()
include(GNUInstallDirs)
set(TAVRINEL_INSTALL_WINDOWS ${CMAKE_INSTALL_LIBDIR}/tavrinel)
install(TARGETS phone fmdemo RUNTIME DESTINATION ${TAVRINEL_INSTALL_WINDOWS})
install(TARGETS platform LIBRARY DESTINATION ${TAVRINEL_INSTALL_WINDOWS})
install(TARGETS Lumarc Tavrinel FMS_API VorliskClient LIBRARY DESTINATION ${TAVRINEL_INSTALL_WINDOWS})
install(FILES ${CMAKE_SOURCE_DIR}/emulator/fmstack/scenarios/default.scn
        DESTINATION ${TAVRINEL_INSTALL_WINDOWS})
install(TARGETS tmcview rdsdemod RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(PROGRAMS ${CMAKE_SOURCE_DIR}/scripts/read_port.py ${CMAKE_SOURCE_DIR}/scripts/rds-player.sh
        DESTINATION ${CMAKE_INSTALL_BINDIR})
# The phone finds its modules beside its own file, wherever the link is.
foreach(program phone fmdemo)
  install(CODE "file(CREATE_LINK ../${TAVRINEL_INSTALL_WINDOWS}/${program}
                \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\" SYMBOLIC)")
endforeach()
