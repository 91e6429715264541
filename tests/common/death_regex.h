// Regex for the assertion line "unit:line: failed assertion `expr'".
#pragma once

#include <string>
#include <string_view>

inline std::string assertion_regex(std::string_view unit, std::string_view line, std::string_view expr)
{
    std::string re = "^";
    re += unit;
    re += ':';
    re += line;
    re += ": failed assertion `";
    for (char c : expr) {
        if (std::string_view("\\^$.|?*+()[]{}").find(c) != std::string_view::npos)
            re += '\\';
        re += c;
    }
    re += "'";
    return re;
}
