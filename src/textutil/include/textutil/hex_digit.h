#pragma once
// The value of one hexadecimal digit, for the readers of hexadecimal text (data texts, the
// bus's byte fields, escaped udev values, USB hardware ids).

namespace textutil {

// 0 to 15 for '0'-'9', 'a'-'f' and 'A'-'F'; -1 for any other character.
constexpr int hexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace textutil
