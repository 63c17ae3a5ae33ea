# SPDX-License-Identifier: Apache-2.0
# Turns the page's files into a C++ source (run as cmake -P at build time):
#   cmake -DOUT=file.cpp -DDIR=web -DFILES="index.html;app.js;style.css" -P Embed.cmake
# Each file becomes a byte array listed in kWebAssets under "/<name>".
set(body "// Generated from ${DIR} by Embed.cmake; edit the files there.\n#include \"WebAssets.h\"\n\nnamespace diagctl {\nnamespace {\n")
set(table "")
set(n 0)
foreach(name IN LISTS FILES)
  file(READ "${DIR}/${name}" hex HEX)
  file(SIZE "${DIR}/${name}" size)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," hex "${hex}")
  string(APPEND body "const unsigned char kFile${n}[] = {${hex}0};\n")
  string(APPEND table "    {\"/${name}\", kFile${n}, ${size}},\n")
  math(EXPR n "${n} + 1")
endforeach()
string(APPEND body "}  // namespace\n\nconst WebAsset kWebAssets[] = {\n${table}};\nconst std::size_t kWebAssetCount = ${n};\n\n}  // namespace diagctl\n")
file(WRITE "${OUT}.tmp" "${body}")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
