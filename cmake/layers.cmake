# The program is built in layers, lowest first:
#
#   base     what every layer uses: the clock, the thread base, scheduling
#   render   field conversion and the picture on screen
#   capture  the stick over USB; hands its fields to a field_sink (base)
#   audio    finding the stick's sound and previewing it
#   record   the recorder, the AVI file and its repair
#   app      the window, menus, preferences; ties the layers together
#
# and beside them the virtual stick (sim), which drives the capture layer's
# USB seam. Each layer is one library whose sources are listed in its
# folder. ostrevin_layer() makes the build fail when a source includes a
# header from a folder its layer may not use.

set(OSTREVIN_LAYER_FOLDERS base render capture audio record app sim tests bench)
set(OSTREVIN_LAYER_CHECK ${CMAKE_CURRENT_LIST_DIR}/check_layers.cmake)

# ostrevin_layer(<target> USES <folders...>): the target's sources may
# include headers from their own folder and the folders listed.
function(ostrevin_layer target)
  cmake_parse_arguments(LAYER "" "" "USES" ${ARGN})
  get_target_property(sources ${target} SOURCES)
  get_target_property(source_dir ${target} SOURCE_DIR)
  get_filename_component(own ${source_dir} NAME)
  set(absolute "")
  foreach(source ${sources})
    get_filename_component(path ${source} ABSOLUTE BASE_DIR ${source_dir})
    list(APPEND absolute ${path})
  endforeach()
  set(stamp ${CMAKE_CURRENT_BINARY_DIR}/${target}.layers)
  string(REPLACE ";" "," allowed "${own};${LAYER_USES}")
  string(REPLACE ";" "," checked "${OSTREVIN_LAYER_FOLDERS}")
  string(REPLACE ";" "," files "${absolute}")
  add_custom_command(OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} -DLAYER=${own} -DALLOWED=${allowed} -DFOLDERS=${checked}
      -DFILES=${files} -DSTAMP=${stamp} -P ${OSTREVIN_LAYER_CHECK}
    DEPENDS ${absolute} ${OSTREVIN_LAYER_CHECK}
    COMMENT "Checking the includes of the ${own} layer"
    VERBATIM)
  add_custom_target(${target}_layers DEPENDS ${stamp})
  add_dependencies(${target} ${target}_layers)
endfunction()
