# How the agent's own code is compiled and the shipped program linked, in one place. Every
# object of the agent gets these flags in every Windows build (the tests run the same objects
# as the shipped program); new sources inherit them by joining agent_core or agent_win.

# No exception runtime and no RTTI: the agent reports failures through results and never
# unwinds. Also in the native build, so that code needing either fails to compile there too.
set(VORNA_AGENT_COMPILE_OPTIONS -fno-exceptions -fno-rtti)
# Small code: the program spends its time waiting. Each function and datum in a section of its
# own, so that the link drops what nothing references.
set(VORNA_AGENT_SIZE_OPTIONS -Os -ffunction-sections -fdata-sections)
# 32-bit Windows finds its exception handlers through a chain on the stack, not through DWARF
# tables, and nothing here unwinds: the tables (.eh_frame) of the agent's own code are dead
# weight (about 4 KB of the program). 64-bit Windows needs its tables (.pdata) to walk the stack.
if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  list(APPEND VORNA_AGENT_SIZE_OPTIONS -fno-asynchronous-unwind-tables)
endif()

# The same bytes from the same sources wherever they are built: no source or build folder in
# the objects (assertion texts, debug sections) and, at the link, no time of day in the PE header
# (vorna_reproducible_link).
set(VORNA_REPRODUCIBLE_OPTIONS -ffile-prefix-map=${CMAKE_SOURCE_DIR}/=
                               -ffile-prefix-map=${CMAKE_BINARY_DIR}/=)

function(vorna_agent_objects target)
  target_compile_options(${target} PRIVATE ${VORNA_AGENT_COMPILE_OPTIONS}
                                           ${VORNA_REPRODUCIBLE_OPTIONS})
  if(WIN32)
    target_compile_options(${target} PRIVATE ${VORNA_AGENT_SIZE_OPTIONS})
  endif()
endfunction()

# The oldest Windows the program runs on, written into its PE header: 6.0, Windows Vista and
# Server 2008, the first with every call it imports (tests/shipped_imports_test.sh).
set(VORNA_WINDOWS_VERSION_MAJOR 6)
set(VORNA_WINDOWS_VERSION_MINOR 0)

# The program: static, stripped, unreferenced sections dropped. It is linked as C and without
# the POSIX-thread library, so no part of the C++ runtime (the exception runtime, its locks,
# the thread layer) can come in unnoticed: a reference to one fails the link. The link map
# beside it says what came in and why.
function(vorna_shipped_executable target)
  vorna_agent_objects(${target})
  set_target_properties(${target} PROPERTIES LINKER_LANGUAGE C)
  set(version_flags
    --major-os-version=${VORNA_WINDOWS_VERSION_MAJOR}
    --minor-os-version=${VORNA_WINDOWS_VERSION_MINOR}
    --major-subsystem-version=${VORNA_WINDOWS_VERSION_MAJOR}
    --minor-subsystem-version=${VORNA_WINDOWS_VERSION_MINOR})
  list(JOIN version_flags "," version_flags)
  target_link_options(${target} PRIVATE
    -static -s -no-pthread -Wl,--gc-sections -Wl,${version_flags}
    -Wl,-Map=$<TARGET_FILE_DIR:${target}>/${target}.map)
  vorna_reproducible_link(${target})
endfunction()

# The linker writes the time of the link into the PE header (and a checksum over it) unless told
# not to: the field stays 0.
function(vorna_reproducible_link target)
  if(WIN32)
    target_link_options(${target} PRIVATE -Wl,--no-insert-timestamp)
  endif()
endfunction()
