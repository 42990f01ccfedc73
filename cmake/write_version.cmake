# Writes OUT (a header defining BILLER_VERSION) from VERSION and the commit of
# the checkout in SOURCE_DIR, only when its text changes, so that a build
# without a new commit recompiles nothing.
execute_process(COMMAND git -C "${SOURCE_DIR}" rev-parse --short=10 HEAD
                OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE git_status ERROR_QUIET)
set(version "${VERSION}")
if(git_status EQUAL 0 AND commit)
  set(version "${version}+g${commit}")
endif()
set(text "#define BILLER_VERSION \"${version}\"\n")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
endif()
if(NOT "${old}" STREQUAL "${text}")
  file(WRITE "${OUT}" "${text}")
endif()
