# Settings of the Windows build, included by the top-level CMakeLists.txt.

# The platform's own httpext.h, through the project's include name: this
# directory comes before include/.
include_directories(BEFORE ${PROJECT_SOURCE_DIR}/platform/win32/include)

# Windows 7 and later; no min/max macros from windows.h.
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 NOMINMAX WIN32_LEAN_AND_MEAN)

# libgcc, libstdc++ and winpthread go into every binary, so the DLL and the
# test programs import Windows system DLLs only.
add_link_options(-static -static-libgcc -static-libstdc++)

# Read by platform/CMakeLists.txt: every trace line also goes to the debugger.
option(DUDAROVUVADU_TRACE_TO_DEBUGGER
       "Send trace messages to OutputDebugStringA as well as to the trace file, if any" OFF)
