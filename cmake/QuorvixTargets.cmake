# quorvix_add_library(<target> LIBS <deps...>)
# Every .cpp/.h/.ui file of the calling folder belongs to the library, so adding a
# class means adding its two files; CMake picks them up at the next build.
function(quorvix_add_library target)
  cmake_parse_arguments(L "" "" "LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/*.h
    ${CMAKE_CURRENT_SOURCE_DIR}/*.ui)
  list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
  set(cpp ${sources})
  list(FILTER cpp INCLUDE REGEX "\\.cpp$")
  if(cpp)
    add_library(${target} STATIC ${sources})
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${target} PUBLIC ${L_LIBS})
  else()
    # A folder whose classes are not written yet still gives a target to link.
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${target} INTERFACE ${L_LIBS})
  endif()
endfunction()

# quorvix_add_test(<name> SOURCES <files...> LIBS <libs...> LABELS <labels...>
#                  [TIMEOUT <s>] [ENV <VAR=value...>] [RESOURCE_LOCK <names...>])
# One Qt Test executable, run with the offscreen platform and an isolated settings store.
function(quorvix_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS;ENV;RESOURCE_LOCK" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE Qt5::Test quorvix_resources ${T_LIBS})
  target_compile_definitions(${name} PRIVATE
    QUORVIX_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    QUORVIX_BINARY_DIR="${PROJECT_BINARY_DIR}")
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set(env
    QT_QPA_PLATFORM=offscreen
    XDG_CONFIG_HOME=${CMAKE_CURRENT_BINARY_DIR}/${name}.config
    XDG_DATA_HOME=${CMAKE_CURRENT_BINARY_DIR}/${name}.data
    QUORVIX_VCAM_DEVICE=/nonexistent/quorvix-test-device
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
    LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp:print_suppressions=0:fast_unwind_on_malloc=0
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:ignore_noninstrumented_modules=1:suppressions=${PROJECT_SOURCE_DIR}/tests/tsan.supp
    ${T_ENV})
  set_tests_properties(${name} PROPERTIES
    LABELS "${T_LABELS}"
    TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "${env}")
  if(T_RESOURCE_LOCK)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${T_RESOURCE_LOCK}")
  endif()
endfunction()
