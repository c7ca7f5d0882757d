# Writes OUTPUT, a C++ source holding the files FILES (under web/) as byte
# arrays with findAsset(). Run at build time: cmake -DOUTPUT=... -DDIR=... -DFILES="a;b" -P embed_assets.cmake
set(body "")
set(entries "")
set(n 0)
foreach(name ${FILES})
  file(READ ${DIR}/${name} hex HEX)
  string(LENGTH "${hex}" hexLength)
  math(EXPR size "${hexLength} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND body "const unsigned char kAsset${n}[] = {${bytes}0};\n")
  if(name MATCHES "\\.html$")
    set(type "text/html; charset=utf-8")
    set(path "/")
  elseif(name MATCHES "\\.css$")
    set(type "text/css; charset=utf-8")
    set(path "/${name}")
  else()
    set(type "text/javascript; charset=utf-8")
    set(path "/${name}")
  endif()
  string(APPEND entries "    {\"${path}\", \"${type}\", kAsset${n}, ${size}},\n")
  math(EXPR n "${n} + 1")
endforeach()
file(WRITE ${OUTPUT}.new "// Made by embed_assets.cmake from tools/vek/panel/web: do not edit.
#include \"panel/assets.hpp\"

namespace vektool::panel {
namespace {
${body}
const Asset kAssets[] = {
${entries}};
}  // namespace

const Asset *findAsset(const std::string &path) {
    for (const Asset &a : kAssets)
        if (path == a.path) return &a;
    return nullptr;
}

}  // namespace vektool::panel
")
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.new)
