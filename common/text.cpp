#include "text.h"

#include <cerrno>
#include <cstdlib>

namespace kovari {

void lower_case(std::string& text)
{
    for (char& c : text)
        c = fold_case(c);
}

bool equal_folded(std::string_view text, std::string_view lowered)
{
    if (text.size() != lowered.size())
        return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (fold_case(text[i]) != lowered[i])
            return false;
    return true;
}

bool same_folded(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (fold_case(a[i]) != fold_case(b[i]))
            return false;
    return true;
}

bool contains_folded(std::string_view text, std::string_view lowered)
{
    if (lowered.size() > text.size())
        return false;
    for (std::size_t i = 0; i + lowered.size() <= text.size(); ++i)
        if (equal_folded(text.substr(i, lowered.size()), lowered))
            return true;
    return false;
}

long parse_decimal(const char* text)
{
    const int saved = errno;
    const long v = std::strtol(text, nullptr, 10);
    errno = saved;
    return v;
}

}  // namespace kovari
