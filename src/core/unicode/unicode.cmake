# The Unicode layer: tables generated at build time from the UCD text files in
# third_party, plus the algorithms over them. Included by the top-level
# CMakeLists.txt; the engine links brindlore_unicode when it exists.

set(BRINDLORE_UCD_DIR ${PROJECT_SOURCE_DIR}/third_party/ucd/16.0.0)
set(BRINDLORE_UNICODE_GEN_DIR ${CMAKE_BINARY_DIR}/generated/unicode)
set(_unicode_generator ${PROJECT_SOURCE_DIR}/tools/gen_unicode_tables.py)
set(_unicode_inputs
  ${BRINDLORE_UCD_DIR}/UnicodeData.txt
  ${BRINDLORE_UCD_DIR}/SpecialCasing.txt
  ${BRINDLORE_UCD_DIR}/PropList.txt
  ${BRINDLORE_UCD_DIR}/DerivedCoreProperties.txt
  ${BRINDLORE_UCD_DIR}/DerivedNormalizationProps.txt
  ${BRINDLORE_UCD_DIR}/auxiliary/GraphemeBreakProperty.txt
  ${BRINDLORE_UCD_DIR}/emoji/emoji-data.txt)

add_custom_command(
  OUTPUT ${BRINDLORE_UNICODE_GEN_DIR}/unicode_tables.h ${BRINDLORE_UNICODE_GEN_DIR}/unicode_tables.cc
  COMMAND ${CMAKE_COMMAND} -E make_directory ${BRINDLORE_UNICODE_GEN_DIR}
  COMMAND ${Python_EXECUTABLE} ${_unicode_generator} ${BRINDLORE_UCD_DIR}
          ${BRINDLORE_UNICODE_GEN_DIR}/unicode_tables.h ${BRINDLORE_UNICODE_GEN_DIR}/unicode_tables.cc
  DEPENDS ${_unicode_generator} ${_unicode_inputs}
  COMMENT "Generating Unicode 16.0 tables"
  VERBATIM)

file(GLOB BRINDLORE_UNICODE_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.cc)
add_library(brindlore_unicode STATIC
  ${BRINDLORE_UNICODE_SOURCES}
  ${BRINDLORE_UNICODE_GEN_DIR}/unicode_tables.cc
  ${BRINDLORE_UNICODE_GEN_DIR}/unicode_tables.h)
target_include_directories(brindlore_unicode
  PUBLIC ${PROJECT_SOURCE_DIR}/src
  PRIVATE ${BRINDLORE_UNICODE_GEN_DIR})
target_compile_features(brindlore_unicode PUBLIC cxx_std_20)
set_target_properties(brindlore_unicode PROPERTIES POSITION_INDEPENDENT_CODE ON)

if(BRINDLORE_BUILD_TESTS)
  # Throughput probe for bench/unicode/bench_nfkc.py; not a test.
  add_executable(unicode_bench ${PROJECT_SOURCE_DIR}/bench/unicode/nfkc_bench.cc)
  target_link_libraries(unicode_bench PRIVATE brindlore_unicode)
endif()
