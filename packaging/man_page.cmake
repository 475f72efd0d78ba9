# Writes a manual page in section 1 from a program's --help text, so that the two never
# disagree. Run as: cmake -DPROGRAM=... -DNAME=... -DSUMMARY=... -DDATE=... -DVERSION=...
#   -DOUTPUT=... -P man_page.cmake
execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR help STREQUAL "")
  message(FATAL_ERROR "${PROGRAM} --help failed (${status})")
endif()
# Shown as it is: backslashes escaped, and no line taken for a request.
string(REPLACE "\\" "\\e" help "${help}")
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
string(TOUPPER "${NAME}" title)
string(REPLACE "-" "\\-" escaped_name "${NAME}")
file(WRITE ${OUTPUT} ".TH ${title} 1 \"${DATE}\" \"Quillbeam ${VERSION}\" \"User Commands\"
.SH NAME
${escaped_name} \\- ${SUMMARY}
.SH DESCRIPTION
.nf
${help}.fi
")
