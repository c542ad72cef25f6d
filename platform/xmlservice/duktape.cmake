# The JavaScript engine behind msxsl:script: Duktape's embeddable source from Debian's duktape-dev,
# compiled into the service with the service's own configuration. The source is taken from the
# package at configure time and never kept in the repository; the configuration header is the
# package's with the service's settings at its place for overrides, and the source the package's
# with a shorter interval between the executor's checks (below).
enable_language(C)

find_path(BRENDLE_DUKTAPE_SOURCE_DIR duktape.c PATHS /usr/share/duktape NO_DEFAULT_PATH)
if(NOT BRENDLE_DUKTAPE_SOURCE_DIR OR NOT EXISTS "${BRENDLE_DUKTAPE_SOURCE_DIR}/duk_config.h")
  message(FATAL_ERROR "Duktape's embeddable source (duktape.c, duk_config.h) is not in /usr/share/duktape: "
                      "install Debian's duktape-dev")
endif()

set(duktape_build_dir ${CMAKE_CURRENT_BINARY_DIR}/duktape)
# Writes `content` to `path` only when it differs, so that a new configure rebuilds nothing.
function(brendle_write_if_changed path content)
  if(EXISTS "${path}")
    file(READ "${path}" existing)
    if(existing STREQUAL content)
      return()
    endif()
  endif()
  file(WRITE "${path}" "${content}")
endfunction()

# The executor looks in on the service every 4096 instructions instead of Duktape's 256 Ki: a
# script that catches every error, allocating past the memory budget or looping, is stopped
# within a moment of its bound rather than after a quarter of a million more instructions.
file(READ ${BRENDLE_DUKTAPE_SOURCE_DIR}/duktape.c duktape_source)
set(duktape_interval_line "#define DUK_HTHREAD_INTCTR_DEFAULT (256L * 1024L)")
string(FIND "${duktape_source}" "${duktape_interval_line}" duktape_interval_at)
if(duktape_interval_at EQUAL -1)
  message(FATAL_ERROR "${BRENDLE_DUKTAPE_SOURCE_DIR}/duktape.c does not define its interrupt interval as expected")
endif()
string(REPLACE "${duktape_interval_line}" "#define DUK_HTHREAD_INTCTR_DEFAULT 4096L" duktape_source "${duktape_source}")
brendle_write_if_changed(${duktape_build_dir}/duktape.c "${duktape_source}")
configure_file(${BRENDLE_DUKTAPE_SOURCE_DIR}/duktape.h ${duktape_build_dir}/duktape.h COPYONLY)
file(READ ${BRENDLE_DUKTAPE_SOURCE_DIR}/duk_config.h duktape_config)
set(duktape_overrides [=[
/* The XML service's settings. */
/* A script that runs too long or past the memory budget is stopped: the executor asks the
 * service every so many instructions. */
#define DUK_USE_INTERRUPT_COUNTER
#if defined(__cplusplus)
extern "C"
#endif
int xmlservice_script_must_stop(void *heap_udata);
#define DUK_USE_EXEC_TIMEOUT_CHECK(udata) (xmlservice_script_must_stop((udata)) != 0)
/* Recursion bounds: script calls, native calls, and the compiler's nesting. */
#undef DUK_USE_CALLSTACK_LIMIT
#define DUK_USE_CALLSTACK_LIMIT 10000
#undef DUK_USE_NATIVE_CALL_RECLIMIT
#define DUK_USE_NATIVE_CALL_RECLIMIT 1000
#undef DUK_USE_COMPILER_RECLIMIT
#define DUK_USE_COMPILER_RECLIMIT 2500
]=])
string(FIND "${duktape_config}" "/* __OVERRIDE_DEFINES__ */" duktape_override_at)
if(duktape_override_at EQUAL -1)
  message(FATAL_ERROR "${BRENDLE_DUKTAPE_SOURCE_DIR}/duk_config.h has no place for overrides")
endif()
string(REPLACE "/* __OVERRIDE_DEFINES__ */" "${duktape_overrides}" duktape_config "${duktape_config}")
brendle_write_if_changed(${duktape_build_dir}/duk_config.h "${duktape_config}")

add_library(duktape_engine STATIC ${duktape_build_dir}/duktape.c)
target_include_directories(duktape_engine PUBLIC ${duktape_build_dir})
# Duktape's own source, not the project's: its warnings are relaxed, never errors.
set_target_properties(duktape_engine PROPERTIES COMPILE_WARNING_AS_ERROR OFF POSITION_INDEPENDENT_CODE ON)
target_compile_options(duktape_engine PRIVATE $<$<C_COMPILER_ID:GNU,Clang>:-w -std=c99>)
target_link_libraries(duktape_engine PRIVATE m)
