# Fails when a release binary holds an instruction that the oldest CPU of
# its family lacks: disassembles BINARY with OBJDUMP and matches each
# mnemonic against FORBIDDEN, an extended regular expression.
#   cmake -DBINARY=... -DOBJDUMP=... -DFORBIDDEN=... -P check_instructions.cmake
if(NOT EXISTS "${BINARY}")
    message(FATAL_ERROR "${BINARY} is not there; build its release preset first")
endif()
execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn ${BINARY}
                OUTPUT_VARIABLE listing RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} could not read ${BINARY}")
endif()
string(REPLACE ";" "," listing "${listing}")
string(REPLACE "\n" ";" lines "${listing}")
set(checked 0)
set(found "")
foreach(line IN LISTS lines)
    # An instruction line: "  address:<tab>mnemonic<tab or space>operands".
    if(line MATCHES "^ *[0-9a-f]+:\t([a-z0-9.]+)")
        math(EXPR checked "${checked} + 1")
        if(CMAKE_MATCH_1 MATCHES "${FORBIDDEN}")
            list(APPEND found "${line}")
        endif()
    endif()
endforeach()
if(checked EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} listed no instructions in ${BINARY}")
endif()
if(found)
    list(JOIN found "\n" shown)
    message(FATAL_ERROR "${BINARY} holds instructions that its oldest CPU lacks:\n${shown}")
endif()
message(STATUS "${checked} instructions in ${BINARY}, none of them matching ${FORBIDDEN}")
