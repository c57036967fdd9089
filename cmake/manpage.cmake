# Writes a man page (section 1) from a program's --help output.
#   cmake -DPROGRAM=<path> -DNAME=<name> -DSUMMARY=<one line> -DVERSION=<v> -DOUT=<file>
#         [-DSUBCOMMANDS=ON] -P manpage.cmake
# With SUBCOMMANDS, every "  word ..." line of the overview's "commands:" list is taken as a
# subcommand and its own --help ("PROGRAM word --help") follows under COMMANDS.

# Run without the builder's own paths: a help that names a default file of this machine (kirn
# history's) names the general one ("~/...") in the page.
function(run_help out)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=KIRN_HISTORY --unset=XDG_STATE_HOME
                          HOME=~ ${ARGN}
                  OUTPUT_VARIABLE text ERROR_VARIABLE text RESULT_VARIABLE rc TIMEOUT 20)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "'${ARGN}' failed (${rc}): ${text}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Roff-safe text in a no-fill block: backslashes escaped, lines that start with a dot or an
# apostrophe protected.
function(to_roff out text)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  set(${out} ".nf\n${text}.fi\n" PARENT_SCOPE)
endfunction()

run_help(overview ${PROGRAM} --help)
string(TOUPPER "${NAME}" upper)
set(page ".TH ${upper} 1 \"\" \"${NAME} ${VERSION}\" \"User Commands\"\n")
string(APPEND page ".SH NAME\n${NAME} \\- ${SUMMARY}\n.SH DESCRIPTION\n")
to_roff(body "${overview}")
string(APPEND page "${body}")

if(SUBCOMMANDS)
  string(APPEND page ".SH COMMANDS\n")
  string(REGEX MATCH "commands:\n(.*)" list "${overview}")
  string(REGEX MATCHALL "\n  [a-z][a-z-]*" names "\n${CMAKE_MATCH_1}")
  foreach(entry ${names})
    string(STRIP "${entry}" word)
    run_help(help ${PROGRAM} ${word} --help)
    to_roff(body "${help}")
    string(APPEND page ".SS ${word}\n${body}")
  endforeach()
endif()

string(APPEND page ".SH SEE ALSO\n.BR xarvel (1),\n.BR kirn (1),\n.BR mc1000-sim (1)\n")
file(WRITE "${OUT}" "${page}")
