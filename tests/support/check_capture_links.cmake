# cmake -DPROBE=<program> -P check_capture_links.cmake
#
# Fails, naming them, when the program links a library of the layers above
# capture: widgets, OpenGL, multimedia or FFmpeg.
execute_process(COMMAND readelf -d ${PROBE} OUTPUT_VARIABLE dynamic RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "readelf could not read ${PROBE}")
endif()
string(REGEX MATCHALL "Shared library: \\[[^]]+\\]" needed "${dynamic}")
if(NOT needed MATCHES "libusb")
  message(FATAL_ERROR "${PROBE} does not link libusb: not the capture layer's program")
endif()
set(refused "")
foreach(library ${needed})
  if(library MATCHES "Qt6(Widgets|Gui|OpenGL|OpenGLWidgets|Multimedia)|libGL|libav|libsw")
    string(APPEND refused "\n  ${library}")
  endif()
endforeach()
if(refused)
  message(FATAL_ERROR "The capture layer links what only the layers above it need:${refused}")
endif()
message(STATUS "capture links: ${needed}")
