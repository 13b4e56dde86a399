# cmake -DINPUT=<file> -DOUTPUT=<file> [-DWRONG=ON] -P WriteDigest.cmake
# Writes the SHA-256 of INPUT as hexadecimal text; WRONG records a digest of
# something else, for launchers that test their own integrity check.
if(WRONG)
    string(SHA256 digest "not the file")
else()
    file(SHA256 "${INPUT}" digest)
endif()
file(WRITE "${OUTPUT}" "${digest}")
