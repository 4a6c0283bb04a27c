# Writes OUTPUT: libraryDigest() returning the SHA-256 of LIBRARY (libxl.so).
# The cell cache keys its entries on it, so every cached workbook is read
# again once any reader has changed.
file(SHA256 "${LIBRARY}" digest)
file(WRITE "${OUTPUT}" "// Generated from ${LIBRARY}.
#include \"search/cell_cache.h\"

std::string_view libraryDigest() { return \"${digest}\"; }
")
