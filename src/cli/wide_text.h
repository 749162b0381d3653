// The command line's words and texts are UTF-8; the system's are UTF-16.
#pragma once

#include <string>
#include <string_view>

std::wstring widen(std::string_view utf8);
std::string narrow(std::wstring_view wide);
