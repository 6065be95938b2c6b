# Makes the man page of one program with help2man: its --help and --version
# in English, whatever the builder's locale, and without a display. The
# folders that --help lists are those of the program where it was built; the
# page says instead where an installed program keeps its files. Then the
# page is compressed as Debian's tools compress it.
#   cmake -DHELP2MAN=... -DPROGRAM=... -DOUT=.../NAME.1 -P ManPage.cmake
set(ENV{LANG} C.UTF-8)
set(ENV{LC_ALL} C.UTF-8)
set(ENV{LANGUAGE} "")
unset(ENV{DISPLAY})
unset(ENV{WAYLAND_DISPLAY})
execute_process(
    COMMAND ${HELP2MAN} --no-info --section=1 --output=${OUT}
            "--name=moves point-of-sale data between a database and Excel workbooks"
            ${PROGRAM}
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "help2man could not make ${OUT} from ${PROGRAM} (${result})")
endif()
file(READ ${OUT} page)
string(FIND "${page}" ".SS \"Folders in use" start)
if(start GREATER -1)
    string(SUBSTRING "${page}" ${start} -1 rest)
    string(SUBSTRING "${rest}" 1 -1 after)
    string(REGEX MATCH "\n\\.(PP|SS|SH)[ \n].*" tail "${after}")
    string(SUBSTRING "${page}" 0 ${start} head)
    set(folders [=[.SS "Folders in use:"
Installed in a folder its user may not write into (/usr/bin), the program
keeps the field-map files in
.I ~/.config/pos-transfer/
($XDG_CONFIG_HOME), the store in
.I ~/.local/share/pos-transfer/data/
($XDG_DATA_HOME) and new workbooks in the documents folder
(xdg-user-dir DOCUMENTS), else in the home folder. A copy in a folder its
user may write into keeps them beside itself. --help lists the folders in
use.]=])
    set(page "${head}${folders}${tail}")
    file(WRITE ${OUT} "${page}")
endif()
execute_process(COMMAND gzip -9nf ${OUT} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "gzip could not compress ${OUT}")
endif()
