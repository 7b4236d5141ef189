# `dist`: the Windows package, a zip with the server, a sample settings file and a short
# README, both text files with CR LF line ends. build/win32/ecubridge-win32.zip on the 32-bit
# build, the release target; ecubridge-win64.zip on the 64-bit one.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(ECUB_DIST_NAME ecubridge-win32)
else()
  set(ECUB_DIST_NAME ecubridge-win64)
endif()
set(ECUB_DIST_STAGE ${CMAKE_BINARY_DIR}/dist/ecubridge)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/dist)
set(ECUB_DIST_ZIP ${CMAKE_BINARY_DIR}/${ECUB_DIST_NAME}.zip)
set(ECUB_DIST_TEXTS SetComVarno.ini README.txt)

set(ECUB_DIST_FILES ${ECUB_DIST_STAGE}/ecubridge.exe)
set(ECUB_DIST_COMMANDS
    COMMAND ${CMAKE_COMMAND} -E make_directory ${ECUB_DIST_STAGE}
    # Stripped: the package carries no debug information.
    COMMAND ${CMAKE_STRIP} -o ${ECUB_DIST_STAGE}/ecubridge.exe $<TARGET_FILE:ecubridge>)
foreach(text ${ECUB_DIST_TEXTS})
  list(APPEND ECUB_DIST_FILES ${ECUB_DIST_STAGE}/${text})
  list(APPEND ECUB_DIST_COMMANDS
       COMMAND ${CMAKE_COMMAND} -DIN=${PROJECT_SOURCE_DIR}/packaging/windows/${text}
               -DOUT=${ECUB_DIST_STAGE}/${text} -P ${PROJECT_SOURCE_DIR}/cmake/crlf.cmake)
endforeach()

list(TRANSFORM ECUB_DIST_TEXTS PREPEND ${PROJECT_SOURCE_DIR}/packaging/windows/
     OUTPUT_VARIABLE ECUB_DIST_SOURCES)
add_custom_command(
  OUTPUT ${ECUB_DIST_ZIP}
  ${ECUB_DIST_COMMANDS}
  COMMAND ${CMAKE_COMMAND} -E rm -f ${ECUB_DIST_ZIP}
  COMMAND ${CMAKE_COMMAND} -E tar cf ${ECUB_DIST_ZIP} --format=zip ecubridge
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/dist
  DEPENDS ecubridge ${ECUB_DIST_SOURCES} ${PROJECT_SOURCE_DIR}/cmake/crlf.cmake
  COMMENT "Packing ${ECUB_DIST_NAME}.zip"
  VERBATIM)
add_custom_target(dist DEPENDS ${ECUB_DIST_ZIP})
