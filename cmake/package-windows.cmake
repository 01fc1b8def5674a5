# The zip for Windows users: kevra.exe, the manual, the tunnel protocol and
# the example parameter files, with Windows line ends and Windows paths. Run by the target
# package-windows (make package-windows):
#   cmake -DSOURCE=... -DEXE=... -DSTRIP=... -DOUTDIR=... -DVERSION=... -P package-windows.cmake
set(name kevra-${VERSION}-win64)
set(stage ${OUTDIR}/${name})
file(REMOVE_RECURSE ${stage})
file(MAKE_DIRECTORY ${stage}/examples)

# The program without its symbols.
execute_process(COMMAND ${STRIP} -o ${stage}/kevra.exe ${EXE} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot strip ${EXE}")
endif()

# crlf(from, to): a text file with CR LF line ends, as Windows editors expect;
# example commands name the folder the README suggests, C:\kevra.
function(crlf from to)
  file(READ ${from} text)
  string(REPLACE "-f=examples/" "-f=C:\\kevra\\" text "${text}")
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${to} "${text}")
endfunction()
crlf(${SOURCE}/docs/kevra.txt ${stage}/kevra.txt)
crlf(${SOURCE}/docs/protocol.md ${stage}/protocol.md)
foreach(f clientside.txt serverside.txt)
  crlf(${SOURCE}/examples/${f} ${stage}/examples/${f})
endforeach()

file(REMOVE ${OUTDIR}/${name}.zip)
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${name}.zip --format=zip ${name}
                WORKING_DIRECTORY ${OUTDIR} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot make ${name}.zip")
endif()
message(STATUS "${OUTDIR}/${name}.zip")
