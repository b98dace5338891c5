// Internals of trvlib shared by its source files (not part of its interface).
#pragma once

#include <cstdarg>
#include <string>

// The host path of a path in Windows form ("\temp\x.log" -> $ZQ_ROOT/temp/x.log).
std::string TrvHostPath(const char *szWindowsPath);

// A printf format expanded once; an absent format gives the empty text.
std::string TrvFormat(const char *szFormat, va_list ap);
