# Writes the section of zentok.ini(5) on the alarm line: the opening of
# docs/alarms.md (its settings, up to its first subsection) under a heading
# of the page's configuration part, so the page and the document never differ.
# cmake -DALARMS=docs/alarms.md -DOUTPUT=... -P ManAlarm.cmake
file(READ ${ALARMS} alarms)
string(FIND "${alarms}" "\n## " end)
if(end EQUAL -1)
  message(FATAL_ERROR "${ALARMS} has no subsection after the alarm line's settings")
endif()
string(SUBSTRING "${alarms}" 0 ${end} settings)
# The document's own title stays with the document.
string(REGEX REPLACE "^# [^\n]*\n" "" settings "${settings}")
file(WRITE ${OUTPUT} "## The alarm line\n${settings}\n")
