# The 32-bit Windows build: the same host over the real SDK, its tests run
# through wine (CMAKE_CROSSCOMPILING_EMULATOR). Built by scripts/build-win32.sh.

# The program's resources (the bootstrap page) are compiled by windres.
enable_language(RC)

# Windows XP is the oldest system the host runs on (the launcher's major
# version 5): the SDK headers then offer nothing newer.
add_compile_definitions(NOMINMAX _WIN32_WINNT=0x0501 WINVER=0x0501)
# One self-contained executable: the C++ and threading runtimes linked in.
add_link_options(-static -static-libgcc -static-libstdc++)

# Every executable carries the application manifest (asInvoker, the
# supported systems): compiled once here and linked into every program like
# a standard library, so none can be left without it.
set(KX_MANIFEST ${CMAKE_SOURCE_DIR}/packaging/windows/kestrix.manifest)
set(KX_MANIFEST_OBJ ${CMAKE_BINARY_DIR}/kestrix-manifest.res.o)
file(WRITE ${CMAKE_BINARY_DIR}/kestrix-manifest.rc "1 24 \"${KX_MANIFEST}\"\n")
execute_process(COMMAND ${CMAKE_RC_COMPILER} -O coff -i ${CMAKE_BINARY_DIR}/kestrix-manifest.rc -o ${KX_MANIFEST_OBJ}
                RESULT_VARIABLE kx_manifest_result)
if(NOT kx_manifest_result EQUAL 0)
  message(FATAL_ERROR "windres could not compile ${KX_MANIFEST}")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${KX_MANIFEST})
set(CMAKE_CXX_STANDARD_LIBRARIES "${CMAKE_CXX_STANDARD_LIBRARIES} ${KX_MANIFEST_OBJ}")
set(CMAKE_C_STANDARD_LIBRARIES "${CMAKE_C_STANDARD_LIBRARIES} ${KX_MANIFEST_OBJ}")

function(kestrix_use_fast_allocator target)
endfunction()

add_subdirectory(src/framing)
add_subdirectory(src/platform)
add_subdirectory(src/interfaces)
add_subdirectory(src/bridge)
add_subdirectory(src/dispatch)
add_subdirectory(src/browser)
add_subdirectory(src/host)
# The control's subsystems that build for Windows (see its CMakeLists.txt).
add_subdirectory(src/control)
add_subdirectory(src/control/win32)
add_subdirectory(tools/install)

if(KESTRIX_TESTS)
  enable_testing()
  # Debian's GoogleTest sources, built with this toolchain.
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  add_subdirectory(tests/win32)
  add_subdirectory(tests/wincontrol)
  add_subdirectory(tests/control/win32)
endif()
