# Tracking components: sibling modules `target` and `utils` of the recognition-mode package.
# Included from the top-level CMakeLists.txt (needs Python and PKG_DIR from there).

find_package(pybind11 CONFIG REQUIRED)

set(RM_TRACK_DIR ${CMAKE_CURRENT_LIST_DIR})

# Pure C++: box overlap, optimal assignment and the association step.
add_library(rm_track STATIC
  ${RM_TRACK_DIR}/core/iou.cpp
  ${RM_TRACK_DIR}/core/assignment.cpp
  ${RM_TRACK_DIR}/core/tracker.cpp
)
target_include_directories(rm_track PUBLIC ${RM_TRACK_DIR}/core)
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  # No fused multiply-add: still/not-still must come out the same on every machine.
  target_compile_options(rm_track PRIVATE -Wall -Wextra -ffp-contract=off)
endif()

add_library(rm_track_convert STATIC ${RM_TRACK_DIR}/bindings/convert.cpp ${RM_TRACK_DIR}/bindings/capi.cpp)
target_link_libraries(rm_track_convert PUBLIC rm_track pybind11::pybind11)
target_include_directories(rm_track_convert PUBLIC ${RM_TRACK_DIR}/bindings)

function(rm_track_module target_name module_name source)
  pybind11_add_module(${target_name} MODULE ${source})
  set_target_properties(${target_name} PROPERTIES OUTPUT_NAME ${module_name})
  target_link_libraries(${target_name} PRIVATE rm_track_convert)
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_compile_options(${target_name} PRIVATE -Wall -Wextra)
  endif()
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    # Only the module's init function leaves the shared object.
    set(map ${RM_TRACK_DIR}/bindings/${module_name}.map)
    target_link_options(${target_name} PRIVATE "-Wl,--version-script=${map}")
    set_target_properties(${target_name} PROPERTIES LINK_DEPENDS ${map})
  endif()
  install(TARGETS ${target_name} LIBRARY DESTINATION ${PKG_DIR})
endfunction()

rm_track_module(rm_target_module target ${RM_TRACK_DIR}/bindings/target_module.cpp)
rm_track_module(rm_utils_module utils ${RM_TRACK_DIR}/bindings/utils_module.cpp)
