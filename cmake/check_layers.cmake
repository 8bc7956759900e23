cmake_minimum_required(VERSION 3.22)
# cmake -DLAYER=<folder> -DALLOWED=<a,b,...> -DFOLDERS=<a,b,...>
#       -DFILES=<file,...> [-DSTAMP=<file>] -P check_layers.cmake
#
# Fails, naming the file and the line, when one of FILES includes
# "<folder>/..." for a project folder not in ALLOWED. Writes STAMP when all
# is well.
string(REPLACE "," ";" allowed "${ALLOWED}")
string(REPLACE "," ";" folders "${FOLDERS}")
string(REPLACE "," ";" files "${FILES}")
set(problems "")
foreach(file ${files})
  file(STRINGS ${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"/]+/")
  foreach(line ${includes})
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"/]+)/.*" "\\1" folder "${line}")
    if(folder IN_LIST folders AND NOT folder IN_LIST allowed)
      string(STRIP "${line}" line)
      string(APPEND problems "\n  ${file}: ${line}")
    endif()
  endforeach()
endforeach()
if(problems)
  message(FATAL_ERROR "The ${LAYER} layer may include only ${ALLOWED}:${problems}")
endif()
if(STAMP)
  file(WRITE ${STAMP} "${LAYER}: ${ALLOWED}\n")
endif()
