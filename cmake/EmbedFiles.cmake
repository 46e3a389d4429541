# Writes a C++ source holding files as byte arrays, for controller::kWebAssets:
#   cmake -DOUT=web_assets.cpp -DBASE=web -DFILES=index.html,app.js -P EmbedFiles.cmake
string(REPLACE "," ";" FILES "${FILES}")
set(arrays "")
set(table "")
set(i 0)
foreach(name IN LISTS FILES)
  file(READ "${BASE}/${name}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  if(name MATCHES "\\.html$")
    set(type "text/html; charset=utf-8")
  elseif(name MATCHES "\\.js$")
    set(type "application/javascript; charset=utf-8")
  elseif(name MATCHES "\\.css$")
    set(type "text/css; charset=utf-8")
  else()
    set(type "application/octet-stream")
  endif()
  string(APPEND arrays "const unsigned char kFile${i}[] = {${bytes}0};\n")
  string(APPEND table "    {\"/${name}\", \"${type}\", kFile${i}, ${size}},\n")
  math(EXPR i "${i} + 1")
endforeach()
file(WRITE "${OUT}"
     "// Generated from web/ by cmake/EmbedFiles.cmake; do not edit.\n"
     "#include \"controller/http/web_assets.h\"\n\nnamespace controller {\nnamespace {\n${arrays}}  // namespace\n\n"
     "const WebAsset kWebAssets[] = {\n${table}};\n"
     "const std::size_t kWebAssetCount = ${i};\n\n}  // namespace controller\n")
