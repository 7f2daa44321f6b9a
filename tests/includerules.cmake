# Checks which source folders include which: a folder includes only its own
# headers and those of the folders below it, from the bottom up:
#
#   sys  formats  tasks  digest  net  fileops  update  ui  app
#
# app/ is the shell that puts the others together (start-up, the command
# line, the configuration): the configuration makes the settings value that
# the steps and the window take, and start-up connects what they ask of app/,
# so no folder below reaches up to it. An include that must cross the order
# is listed below with its reason; none does. tools/, bench/, fuzz/ and tests/
# stand above all of them.
#
#   cmake -DSOURCE_DIR=<checkout> -P tests/includerules.cmake
cmake_minimum_required(VERSION 3.16)

set(order sys formats tasks digest net fileops update ui app)

# "<file> <included header>": includes against the order, allowed.
set(allowed)

function(rank folder out)
    list(FIND order "${folder}" index)
    set(${out} ${index} PARENT_SCOPE)
endfunction()

set(faults "")
foreach(folder IN LISTS order)
    rank(${folder} own)
    file(GLOB files RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/${folder}/*.h"
         "${SOURCE_DIR}/${folder}/*.cpp")
    foreach(file IN LISTS files)
        file(STRINGS "${SOURCE_DIR}/${file}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[a-z]+/")
        foreach(line IN LISTS includes)
            string(REGEX REPLACE "^[^\"]*\"([^\"]+)\".*$" "\\1" header "${line}")
            string(REGEX REPLACE "/.*$" "" target "${header}")
            rank(${target} theirs)
            if(theirs EQUAL -1 OR theirs LESS_EQUAL own)
                continue()
            endif()
            set(ok FALSE)
            foreach(rule IN LISTS allowed)
                string(REPLACE " " ";" rule "${rule}")
                list(GET rule 0 pattern)
                list(GET rule 1 allowedHeader)
                string(REPLACE "*" ".*" pattern "^${pattern}$")
                if(file MATCHES "${pattern}" AND header STREQUAL allowedHeader)
                    set(ok TRUE)
                endif()
            endforeach()
            if(NOT ok)
                string(APPEND faults "\n  ${file} includes ${header}, from a folder above ${folder}/")
            endif()
        endforeach()
    endforeach()
endforeach()

if(faults)
    message(FATAL_ERROR "Includes against the order of the folders:${faults}")
endif()
message(STATUS "Every include follows the order of the folders")
