# Runs the request replay against the Linux module and, under Wine, against
# the Windows DLL, each in a work folder of its own, then compares every file
# of the install root as it stood after each step, byte for byte. Where the
# back-end wrote a file name into a file (answers, rights lists) the install
# root is spelled the system's way (\\srv\spool\root or Z:\srv\spool\root):
# that prefix is the one difference allowed.
#   cmake -DLINUX_REPLAY=... -DLINUX_MODULE=... -DWINDOWS_REPLAY=...
#         -DWINDOWS_MODULE=... -DEMULATOR=a|b|c -DWORK=... -P compare_spools.cmake
foreach(file IN ITEMS "${LINUX_REPLAY}" "${LINUX_MODULE}")
  if(NOT EXISTS "${file}")
    message("no Linux build to compare with: ${file} is missing (build the Linux tree first)")
    return()
  endif()
endforeach()

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

# Each replay gets its module and work folder as paths relative to WORK, which
# both systems read alike.
function(replay name)
  execute_process(COMMAND ${ARGN} --work ${name}
                  WORKING_DIRECTORY "${WORK}"
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "the ${name} replay failed (${result}):\n${output}")
  endif()
endfunction()
file(RELATIVE_PATH linux_module "${WORK}" "${LINUX_MODULE}")
file(RELATIVE_PATH windows_module "${WORK}" "${WINDOWS_MODULE}")
string(REPLACE "|" ";" emulator "${EMULATOR}")
replay(linux "${LINUX_REPLAY}" --module ${linux_module})
replay(windows ${emulator} "${WINDOWS_REPLAY}" --module ${windows_module})

# Bytes as two hex digits and a blank each, so that a prefix is only ever
# found at a byte boundary.
function(spaced_hex out_var text_hex)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\1 " spaced "${text_hex}")
  set(${out_var} "${spaced}" PARENT_SCOPE)
endfunction()
function(file_bytes out_var path root_hex)
  file(READ "${path}" hex HEX)
  spaced_hex(spaced "${hex}")
  string(REPLACE "${root_hex}" "<install root> " spaced "${spaced}")
  set(${out_var} "${spaced}" PARENT_SCOPE)
endfunction()

foreach(system IN ITEMS linux windows)
  file(READ "${WORK}/${system}/written-root.txt" root_hex HEX)
  spaced_hex(${system}_root "${root_hex}")
  file(GLOB_RECURSE ${system}_files LIST_DIRECTORIES false
       RELATIVE "${WORK}/${system}/snapshots" "${WORK}/${system}/snapshots/*")
  list(SORT ${system}_files)
endforeach()

if(NOT linux_files STREQUAL windows_files)
  set(only_linux ${linux_files})
  list(REMOVE_ITEM only_linux ${windows_files})
  set(only_windows ${windows_files})
  list(REMOVE_ITEM only_windows ${linux_files})
  message(FATAL_ERROR "the spools hold different files: only on Linux '${only_linux}', "
                      "only on Windows '${only_windows}'")
endif()

set(differences "")
foreach(file IN LISTS linux_files)
  file_bytes(linux_bytes "${WORK}/linux/snapshots/${file}" "${linux_root}")
  file_bytes(windows_bytes "${WORK}/windows/snapshots/${file}" "${windows_root}")
  if(NOT linux_bytes STREQUAL windows_bytes)
    string(APPEND differences "${file}:\n  Linux   ${linux_bytes}\n  Windows ${windows_bytes}\n")
  endif()
endforeach()
if(differences)
  message(FATAL_ERROR "spool files differ:\n${differences}")
endif()

# The comparison covers every kind of spool file, or it proves little.
foreach(kind IN ITEMS "/in/[0-9]+\\.req$" "/in/[0-9]+\\.srv$" "/out/[0-9]+\\.tmp$"
                      "/out/[0-9]+\\.rdy$" "/out/[0-9]+\\.htm$" "/events/[^/]+\\.evt$"
                      "/post/[0-9]+\\.txt$" "/post/[0-9]+\\.rdy$" "/rights/[^/]+\\.lst$"
                      "/dudarovuvadu\\.cnt\\.in\\.txt$" "/dudarovuvadu\\.cnt\\.post\\.txt$")
  set(found ${linux_files})
  list(FILTER found INCLUDE REGEX "${kind}")
  if(NOT found)
    message(FATAL_ERROR "no spool file matching ${kind} was compared")
  endif()
endforeach()
list(LENGTH linux_files count)
message(STATUS "${count} spool files alike on Linux and Windows")
