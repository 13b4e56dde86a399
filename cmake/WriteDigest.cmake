# cmake -DINPUT=<file> -DOUTPUT=<file> -P WriteDigest.cmake
# Writes the SHA-256 of INPUT as hexadecimal text, as sparlin-pack writes the
# digests of the payload.
file(SHA256 "${INPUT}" digest)
file(WRITE "${OUTPUT}" "${digest}")
