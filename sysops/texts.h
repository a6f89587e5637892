// sysops/texts.h: comparing texts and turning any value into a text.
#pragma once
#include <cstdint>

#include "base/text.h"
#include "base/value.h"

// Negative, 0 or positive as `a` sorts before, equal to or after `b`. A double-byte character of the
// ANSI code page compares as one unit and is never case-folded, even when its trail byte is an ASCII
// letter; without `caseSensitive` only the ASCII letters A-Z and a-z compare without regard to case.
// Null counts as "".
std::int32_t CompareText(const char* a, const char* b, bool caseSensitive = false);

// A new text for `value`: texts are copied; numbers in decimal ("%u", "%d", "%.6g", "%.13g"); a
// boolean as "真" or "假"; a date-time as "Y年M月D日" with "H时M分S秒" cut after the last part that is
// not 0; a byte array or a numeric array as its bytes up to the first zero; any other kind as "".
Text ToText(const Value& value);
