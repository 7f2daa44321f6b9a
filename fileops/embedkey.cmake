# cmake -DKEY_FILE=<der> -DOUTPUT=<cpp> -P embedkey.cmake
# Writes the definition of PUBLIC_KEY: the key file's bytes at the head of a
# 2048-byte buffer, the rest zero.
file(SIZE "${KEY_FILE}" size)
if(size EQUAL 0 OR size GREATER 2048)
    message(FATAL_ERROR "Public key file '${KEY_FILE}' has ${size} bytes; 1 to 2048 are allowed.")
endif()
file(READ "${KEY_FILE}" hex HEX)
string(LENGTH "${hex}" length)
set(bytes "")
set(offset 0)
while(offset LESS length)
    string(SUBSTRING "${hex}" ${offset} 32 line)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " line "${line}")
    string(STRIP "${line}" line)
    string(APPEND bytes "    ${line}\n")
    math(EXPR offset "${offset} + 32")
endwhile()
file(WRITE "${OUTPUT}.tmp"
"// Generated from ${KEY_FILE}; do not edit.
#include \"fileops/publickey.h\"

const unsigned char PUBLIC_KEY[PUBLIC_KEY_SIZE] = {
${bytes}};
")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
