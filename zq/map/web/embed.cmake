# Writes OUT, a C++ file holding the files FILES of DIR as raw strings, with
# find_web_asset() over them.  Run with cmake -P at build time.
set(_delim "zqweb")
set(_body "")
set(_table "")
set(_i 0)
foreach(f ${FILES})
  file(READ "${DIR}/${f}" _content)
  string(FIND "${_content}" ")${_delim}\"" _bad)
  if(NOT _bad EQUAL -1)
    message(FATAL_ERROR "${f} holds the raw-string delimiter )${_delim}\"")
  endif()
  if(f MATCHES "\\.html$")
    set(_type "text/html; charset=utf-8")
  elseif(f MATCHES "\\.js$")
    set(_type "application/javascript; charset=utf-8")
  elseif(f MATCHES "\\.css$")
    set(_type "text/css; charset=utf-8")
  elseif(f MATCHES "\\.svg$")
    set(_type "image/svg+xml")
  else()
    message(FATAL_ERROR "${f}: no content type for this kind of file")
  endif()
  string(APPEND _body "const char a${_i}[] = R\"${_delim}(${_content})${_delim}\";\n")
  string(APPEND _table "    {\"${f}\", a${_i}, sizeof a${_i} - 1, \"${_type}\"},\n")
  math(EXPR _i "${_i} + 1")
endforeach()
set(_text "// Generated from zq/map/web by embed.cmake; do not edit.
#include \"web_assets.h\"

namespace zq::map {
namespace {
${_body}
const WebAsset assets[] = {
${_table}};
}  // namespace

const WebAsset* find_web_asset(std::string_view name) {
    for (const auto& a : assets)
        if (name == a.name) return &a;
    return nullptr;
}

}  // namespace zq::map
")
# Only a changed text touches the file, so an unchanged page rebuilds nothing.
if(EXISTS "${OUT}")
  file(READ "${OUT}" _old)
  if(_old STREQUAL _text)
    return()
  endif()
endif()
file(WRITE "${OUT}" "${_text}")
