# The zip for Windows users: one folder kevra-<version>-win64 with kevra.exe,
# the manual, the tunnel protocol, the throughput plot, the example parameter
# files, LICENSE.txt and README.txt, with
# Windows line ends and Windows paths; kevra-<version>-win64.zip.sha256 beside
# it. Run by the target
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
# example commands name the examples folder of the unpacked zip, from the
# folder that holds kevra.exe; @VERSION@ stands for the version.
function(crlf from to)
  file(READ ${from} text)
  string(REPLACE "-f=examples/" "-f=examples\\" text "${text}")
  string(CONFIGURE "${text}" text @ONLY)
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${to} "${text}")
endfunction()
crlf(${SOURCE}/docs/kevra.txt ${stage}/kevra.txt)
crlf(${SOURCE}/LICENSE ${stage}/LICENSE.txt)
crlf(${SOURCE}/docs/protocol.md ${stage}/protocol.md)
file(COPY ${SOURCE}/docs/throughput.png DESTINATION ${stage})
crlf(${SOURCE}/packaging/windows/README.txt ${stage}/README.txt)
foreach(f clientside.txt serverside.txt)
  crlf(${SOURCE}/examples/${f} ${stage}/examples/${f})
endforeach()

file(REMOVE ${OUTDIR}/${name}.zip)
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${name}.zip --format=zip ${name}
                WORKING_DIRECTORY ${OUTDIR} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot make ${name}.zip")
endif()
# The sum in sha256sum's format: "sha256sum -c" checks it, and it is the
# figure PowerShell's Get-FileHash shows.
file(SHA256 ${OUTDIR}/${name}.zip sum)
file(WRITE ${OUTDIR}/${name}.zip.sha256 "${sum}  ${name}.zip\n")
message(STATUS "${OUTDIR}/${name}.zip")
