# Proves that CheckStringTables.cmake rejects broken tables: each case copies
# the real folder into WORK_DIR, breaks one thing and expects the check to
# fail with a message that names the file (and the id where there is one).
#
#   cmake -DSTRINGS_DIR=<folder> -DWORK_DIR=<scratch folder> -P CheckStringTablesTest.cmake

cmake_minimum_required(VERSION 3.25)

set(_check "${CMAKE_CURRENT_LIST_DIR}/../CheckStringTables.cmake")
foreach(_var STRINGS_DIR WORK_DIR)
  if(NOT DEFINED ${_var})
    message(FATAL_ERROR "give -D${_var}=<folder>")
  endif()
endforeach()
get_filename_component(STRINGS_DIR "${STRINGS_DIR}" ABSOLUTE)
get_filename_component(WORK_DIR "${WORK_DIR}" ABSOLUTE)

set(_failures "")
set(_cases 0)

# A fresh copy of the tables (the .txt files only) in WORK_DIR/<case>.
function(_fresh_copy case out)
  set(_dir "${WORK_DIR}/${case}")
  file(REMOVE_RECURSE "${_dir}")
  file(MAKE_DIRECTORY "${_dir}")
  file(GLOB _tables "${STRINGS_DIR}/*.txt")
  file(COPY ${_tables} DESTINATION "${_dir}")
  set(${out} "${_dir}" PARENT_SCOPE)
endfunction()

# Replaces the first occurrence of `from` in a file by `to`; the case is void
# (and reported) when the file does not contain it.
function(_edit path from to)
  file(READ "${path}" _c)
  string(FIND "${_c}" "${from}" _at)
  if(_at EQUAL -1)
    message(FATAL_ERROR "test set-up: \"${from}\" not found in ${path}")
  endif()
  string(LENGTH "${from}" _len)
  string(SUBSTRING "${_c}" 0 ${_at} _head)
  math(EXPR _tail_at "${_at} + ${_len}")
  string(SUBSTRING "${_c}" ${_tail_at} -1 _tail)
  file(WRITE "${path}" "${_head}${to}${_tail}")
endfunction()

# Runs the check on a folder; it must fail and say every one of the regular
# expressions given.
function(_expect_rejected case dir)
  math(EXPR _n "${_cases} + 1")
  set(_cases ${_n} PARENT_SCOPE)
  execute_process(COMMAND "${CMAKE_COMMAND}" -DSTRINGS_DIR=${dir} -P "${_check}"
    RESULT_VARIABLE _rc OUTPUT_VARIABLE _out ERROR_VARIABLE _err)
  set(_all "${_out}${_err}")
  if(_rc EQUAL 0)
    set(_failures "${_failures}\n  ${case}: the check accepted the broken tables" PARENT_SCOPE)
    return()
  endif()
  foreach(_re IN LISTS ARGN)
    if(NOT _all MATCHES "${_re}")
      set(_failures "${_failures}\n  ${case}: the check failed without saying \"${_re}\":\n${_all}" PARENT_SCOPE)
      return()
    endif()
  endforeach()
endfunction()

# The real folder passes.
execute_process(COMMAND "${CMAKE_COMMAND}" -DSTRINGS_DIR=${STRINGS_DIR} -P "${_check}"
  RESULT_VARIABLE _rc OUTPUT_VARIABLE _out ERROR_VARIABLE _err)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "the check rejects the real tables:\n${_out}${_err}")
endif()

# An id the English table has is missing.
_fresh_copy(missing-id _d)
_edit("${_d}/0407-de-DE.txt" "117=Möchten Sie diese Anwendung beenden?\n" "")
_expect_rejected(missing-id "${_d}" "0407-de-DE\\.txt: id 117: missing")

# A Disclaimer id (not in English) is missing.
_fresh_copy(missing-disclaimer _d)
_edit("${_d}/0419-ru-RU.txt" "\n146=" "\n#146=")
_expect_rejected(missing-disclaimer "${_d}" "0419-ru-RU\\.txt: id 146: missing")

# The "%s" of the rights notice is lost.
_fresh_copy(placeholder-lost _d)
_edit("${_d}/0411-ja-JP.txt" "132=Copyright © %s NORVALE." "132=Copyright © NORVALE.")
_expect_rejected(placeholder-lost "${_d}" "0411-ja-JP\\.txt:[0-9]+: id 132: must have the placeholders %s"
  "0411-ja-JP\\.txt:[0-9]+: id 132: placeholders differ")

# A placeholder the English text does not have, and a lone percent sign.
_fresh_copy(placeholder-added _d)
_edit("${_d}/040c-fr-FR.txt" "124=Aucun fichier" "124=%d fichier")
_edit("${_d}/0416-pt-BR.txt" "119=Tarefa concluída com êxito." "119=Tarefa concluída: 100%.")
_expect_rejected(placeholder-added "${_d}"
  "040c-fr-FR\\.txt:[0-9]+: id 124: placeholders differ from the English text: English has none, this text %d"
  "0416-pt-BR\\.txt:[0-9]+: id 119: a \"%\" that is no placeholder")

# A line break of the English text is lost.
_fresh_copy(break-lost _d)
_edit("${_d}/0401-ar-SA.txt" "\\r\\n\\r\\nهل" "\\r\\nهل")
_expect_rejected(break-lost "${_d}" "0401-ar-SA\\.txt:[0-9]+: id 118: must have the line breaks"
  "0401-ar-SA\\.txt:[0-9]+: id 118: line breaks differ from the English text")

# A text longer than its buffer: 137 goes behind the information text only
# with room for 96 characters.
_fresh_copy(too-long _d)
_edit("${_d}/0415-pl-PL.txt" "137=Po zakończeniu instalacji"
  "137=Po zakończeniu instalacji i po zapisaniu wszystkich otwartych dokumentów oraz zamknięciu programów")
_expect_rejected(too-long "${_d}" "0415-pl-PL\\.txt:[0-9]+: id 137: [0-9]+ characters, longer than its buffer takes \\(at most 96\\)")

# Length is counted in characters, not bytes: 96 Japanese characters (288
# bytes of UTF-8) fit 137, 97 do not.
_fresh_copy(length-in-characters _d)
string(REPEAT "再" 96 _fits)
_edit("${_d}/0411-ja-JP.txt" "137=インストールの完了後、コンピューターを再起動してください。" "137=${_fits}")
execute_process(COMMAND "${CMAKE_COMMAND}" -DSTRINGS_DIR=${_d} -P "${_check}"
  RESULT_VARIABLE _rc OUTPUT_VARIABLE _out ERROR_VARIABLE _err)
math(EXPR _cases "${_cases} + 1")
if(NOT _rc EQUAL 0)
  set(_failures "${_failures}\n  length-in-characters: 96 characters were rejected:\n${_out}${_err}")
endif()
_edit("${_d}/0411-ja-JP.txt" "137=${_fits}" "137=${_fits}再")
_expect_rejected(length-in-characters "${_d}" "0411-ja-JP\\.txt:[0-9]+: id 137: 97 characters")

# The blank behind "Installing " is lost.
_fresh_copy(trailing-blank _d)
_edit("${_d}/041d-sv-SE.txt" "138=Installerar \n" "138=Installerar\n")
_expect_rejected(trailing-blank "${_d}" "041d-sv-SE\\.txt:[0-9]+: id 138: the English text ends with a blank")

# An unknown escape, an empty text, an entry without its English comment,
# an id given twice and one outside the range.
_fresh_copy(form _d)
_edit("${_d}/0406-da-DK.txt" "121=Der er ikke nok" "121=Der er \\q ikke nok")
_edit("${_d}/0406-da-DK.txt" "133=Fejl:" "133=")
_edit("${_d}/0406-da-DK.txt" "# en: Extract to:\n134=" "134=")
_edit("${_d}/0406-da-DK.txt" "139=Vent...\n" "139=Vent...\n139=Vent lidt...\n122=Reserveret\n")
_edit("${_d}/0406-da-DK.txt" "# en: Please wait...\n" "# en: Please wait...\nthis line is no entry\n")
_expect_rejected(form "${_d}"
  "0406-da-DK\\.txt:[0-9]+: id 121: unknown escape"
  "0406-da-DK\\.txt:[0-9]+: id 133: the text is empty"
  "0406-da-DK\\.txt:[0-9]+: id 134: no \"# en: <English text>\" comment"
  "0406-da-DK\\.txt:[0-9]+: id 139: given twice"
  "0406-da-DK\\.txt:[0-9]+: id 122: not in this table's range"
  "0406-da-DK\\.txt:[0-9]+: not an entry")

# File form: a byte order mark, CR LF line ends, bytes that are not UTF-8.
_fresh_copy(file-form _d)
# CMake writes no bytes that are not UTF-8 text; the shell does.
execute_process(COMMAND sh -c "printf '\\357\\273\\277' | cat - '${STRINGS_DIR}/0408-el-GR.txt' > '${_d}/0408-el-GR.txt'")
file(READ "${_d}/0410-it-IT.txt" _c)
string(REPLACE "\n" "\r\n" _c "${_c}")
file(WRITE "${_d}/0410-it-IT.txt" "${_c}")
execute_process(COMMAND sh -c "printf '# \\377\\376 stray bytes\\n' >> '${_d}/0413-nl-NL.txt'")
_expect_rejected(file-form "${_d}"
  "0408-el-GR\\.txt: starts with a byte order mark"
  "0410-it-IT\\.txt: has CR characters"
  "0413-nl-NL\\.txt: holds bytes that are not UTF-8")

# File names: a language file missing, a stray .txt, a tag that does not
# belong to the LANGID.
_fresh_copy(file-names _d)
file(RENAME "${_d}/041e-th-TH.txt" "${_d}/041e-th.txt")
file(WRITE "${_d}/notes.txt" "# notes\n")
_expect_rejected(file-names "${_d}"
  "041e-th-TH\\.txt: missing"
  "041e-th\\.txt: not the name of a string table"
  "notes\\.txt: not the name of a string table")

# The real English table, when the folder has one, is the source: a line
# break added to its 117 is then missing from every translation.
_fresh_copy(english-source _d)
file(READ "${CMAKE_CURRENT_LIST_DIR}/0409-en-US.reference" _en)
string(REPLACE "117=Do you wish to exit this application?" "117=Exit?\\r\\nDo you wish to exit this application?" _en "${_en}")
file(WRITE "${_d}/0409-en-US.txt" "${_en}")
_expect_rejected(english-source "${_d}"
  "0407-de-DE\\.txt:[0-9]+: id 117: line breaks differ from the English text: English has \"\\\\r\\\\n\", this text none"
  "0421-id-ID\\.txt:[0-9]+: id 117: line breaks differ")

# The English table itself must be complete and keep 132's "%s".
_fresh_copy(english-broken _d)
string(REPLACE "132=Copyright (C) %s NORVALE." "132=Copyright (C) NORVALE." _en "${_en}")
string(REPLACE "105=About...\n" "" _en "${_en}")
file(WRITE "${_d}/0409-en-US.txt" "${_en}")
_expect_rejected(english-broken "${_d}"
  "0409-en-US\\.txt: id 105: missing"
  "0409-en-US\\.txt:[0-9]+: id 132: must have the placeholders %s")

file(REMOVE_RECURSE "${WORK_DIR}")
if(NOT _failures STREQUAL "")
  message(FATAL_ERROR "CheckStringTables let broken tables through or said too little:${_failures}")
endif()
message(STATUS "CheckStringTables rejected all ${_cases} broken copies, each naming file and id")
