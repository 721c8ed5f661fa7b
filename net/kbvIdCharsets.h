// Character-set names and Windows code pages: the names a peer may send in a
// charset parameter, and the converters that realise each code page here.
#pragma once

#include <string_view>

#include "net/kbvIdGlobal.h"

// The Windows code page of an IANA character-set name or alias, compared
// case-insensitively; failing that, of the spellings "UTF7", "UTF8",
// "UTF16", "UTF16LE", "UTF16BE", "UTF32", "UTF32LE", "UTF32BE"; else 0.
int CharsetToCodePage(std::string_view ACharset);

// The encoding for a character-set name; null when the name has no code
// page. A code page without a converter here raises "Invalid codepage (%d)".
IIdTextEncodingPtr CharsetToEncoding(std::string_view ACharset);

// How a Windows code page is converted on this platform.
struct TIdCodePageInfo {
    int CodePage;
    const char* IconvName;
    int MaxCharSize;  // bytes of the longest character
};

// The entry of a code page, or null when none converts it. Code pages 0
// (ANSI), 1 (OEM) and 3 (thread ANSI) are the system's: UTF-8.
const TIdCodePageInfo* CodePageInfo(int ACodePage);
