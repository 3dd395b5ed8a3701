# Writes the version text "v<package>-<revision>" into OUTPUT, touching the
# file only when the text changes so that unchanged builds stay incremental.
set(revision "unknown")
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(
    COMMAND ${GIT_EXECUTABLE} -C ${SOURCE_DIR} rev-parse --short HEAD
    OUTPUT_VARIABLE git_revision
    OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE git_result
    ERROR_QUIET)
  execute_process(
    COMMAND ${GIT_EXECUTABLE} -C ${SOURCE_DIR} rev-parse --show-toplevel
    OUTPUT_VARIABLE git_top
    OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET)
  # Only the project's own checkout counts, not a repository it happens to sit in.
  file(REAL_PATH "${SOURCE_DIR}" source_real)
  if(git_result EQUAL 0 AND NOT git_revision STREQUAL "" AND NOT git_top STREQUAL "")
    file(REAL_PATH "${git_top}" top_real)
    if(top_real STREQUAL source_real)
      set(revision "${git_revision}")
    endif()
  endif()
endif()

set(content "// Generated at build time.\n#include \"version.h\"\n\nnamespace quillmar_modem {\n\nstd::string full_version() { return \"v${PACKAGE_VERSION}-${revision}\"; }\n\n}  // namespace quillmar_modem\n")
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} old)
else()
  set(old "")
endif()
if(NOT old STREQUAL content)
  file(WRITE ${OUTPUT} "${content}")
endif()
