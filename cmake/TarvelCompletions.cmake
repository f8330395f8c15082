# Writes what the built tarvel says of its commands into the files installed with it:
#   completions/tarvel.bash and completions/_tarvel: tarvel's part (`tarvel completions bash|zsh`),
#     then the other programs' (completions/programs.bash|zsh);
#   man/tarvel.1: docs/man/tarvel.1 with its synopsis (`tarvel completions man`) and version.
# cmake -DTARVEL=<built tarvel> -DSOURCE_DIR=<source tree> -DOUTPUT_DIR=<build tree>
#       -DVERSION=<version> -P TarvelCompletions.cmake
function(tarvel_says kind variable)
  execute_process(COMMAND ${TARVEL} completions ${kind}
    OUTPUT_VARIABLE text ERROR_VARIABLE problem RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR text STREQUAL "")
    message(FATAL_ERROR "tarvel completions ${kind} failed (${status}): ${problem}")
  endif()
  set(${variable} "${text}" PARENT_SCOPE)
endfunction()

tarvel_says(bash bash)
file(READ ${SOURCE_DIR}/completions/programs.bash programs)
file(WRITE ${OUTPUT_DIR}/completions/tarvel.bash "${bash}\n${programs}")

tarvel_says(zsh zsh)
file(READ ${SOURCE_DIR}/completions/programs.zsh programs)
file(WRITE ${OUTPUT_DIR}/completions/_tarvel "${zsh}\n${programs}")

tarvel_says(man synopsis)
file(READ ${SOURCE_DIR}/docs/man/tarvel.1 page)
string(FIND "${page}" "@TARVEL_SYNOPSIS@\n" at)
if(at EQUAL -1)
  message(FATAL_ERROR "docs/man/tarvel.1 has no @TARVEL_SYNOPSIS@ line for the synopsis")
endif()
string(REPLACE "@TARVEL_SYNOPSIS@\n" "${synopsis}" page "${page}")
string(REPLACE "@PROJECT_VERSION@" "${VERSION}" page "${page}")
file(WRITE ${OUTPUT_DIR}/man/tarvel.1 "${page}")
