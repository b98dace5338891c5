// Internals of the winapi library shared by its files and its tests.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zq::win {

// zqHostPath as a std::string.
std::string host_path(std::string_view windows_path);

// Splits a parameter text into arguments by the Windows command-line rules.
std::vector<std::string> split_command_line(std::string_view text);

// "scheme://..." with a scheme of a letter then letters, digits, '+', '-', '.'.
bool is_url(std::string_view text);

}  // namespace zq::win
