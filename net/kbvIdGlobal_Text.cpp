// The global unit's small text routines and the line reader for streams.
#include "net/kbvIdGlobal.h"

#include <algorithm>

#include "core/Streams.h"

namespace {
char LowerASCII(char C) { return C >= 'A' && C <= 'Z' ? static_cast<char>(C + ('a' - 'A')) : C; }
}  // namespace

// ---------------------------------------------------------------------------
// Small routines

bool TextIsSame(std::string_view A, std::string_view B) {
    return A.size() == B.size() &&
           std::equal(A.begin(), A.end(), B.begin(), [](char X, char Y) { return LowerASCII(X) == LowerASCII(Y); });
}

bool TextStartsWith(std::string_view AText, std::string_view AStart) {
    return AText.size() >= AStart.size() && TextIsSame(AText.substr(0, AStart.size()), AStart);
}

bool TextEndsWith(std::string_view AText, std::string_view AEnd) {
    return AText.size() >= AEnd.size() && TextIsSame(AText.substr(AText.size() - AEnd.size()), AEnd);
}

bool CharIsInSet(std::string_view AText, int ACharPos, std::string_view ASet) {
    if (ACharPos < 1 || ACharPos > static_cast<int>(AText.size()))
        return false;
    return ASet.find(AText[static_cast<size_t>(ACharPos - 1)]) != std::string_view::npos;
}

int PosInStrArray(std::string_view ASearch, std::initializer_list<std::string_view> AList, bool ACaseSensitive) {
    int Index = 0;
    for (std::string_view Item : AList) {
        if (ACaseSensitive ? Item == ASearch : TextIsSame(Item, ASearch))
            return Index;
        ++Index;
    }
    return -1;
}

int PosInStrArray(std::string_view ASearch, const std::vector<std::string>& AList, bool ACaseSensitive) {
    for (size_t I = 0; I < AList.size(); ++I)
        if (ACaseSensitive ? AList[I] == ASearch : TextIsSame(AList[I], ASearch))
            return static_cast<int>(I);
    return -1;
}

int PosInSmallIntArray(int16_t ASearch, std::initializer_list<int16_t> AList) {
    auto It = std::find(AList.begin(), AList.end(), ASearch);
    return It == AList.end() ? -1 : static_cast<int>(It - AList.begin());
}

bool IsNumeric(std::string_view AText) {
    return !AText.empty() && std::all_of(AText.begin(), AText.end(), [](char C) { return C >= '0' && C <= '9'; });
}

// ---------------------------------------------------------------------------
// Lines from streams

bool ReadLnFromStream(TStream& AStream, std::string& VLine, int AMaxLineLength, const IIdTextEncodingPtr& AEncoding) {
    const int64_t Start = AStream.Position();
    TIdBytes Line;
    int EndOfLine = 0;  // length of the end of line found
    bool AtEnd = false;
    uint8_t Chunk[512];
    while (!EndOfLine && !AtEnd && (AMaxLineLength <= 0 || static_cast<int>(Line.size()) < AMaxLineLength)) {
        int64_t Count = AStream.Read(Chunk, sizeof(Chunk));
        AtEnd = Count <= 0;
        for (int64_t I = 0; I < Count; ++I) {
            if (Chunk[I] == '\n' || Chunk[I] == '\r') {
                EndOfLine = 1;
                uint8_t Next = 0;
                if (Chunk[I] == '\r' && (I + 1 < Count ? (Next = Chunk[I + 1], true) : AStream.Read(&Next, 1) == 1) &&
                    Next == '\n')
                    EndOfLine = 2;
                break;
            }
            if (AMaxLineLength > 0 && static_cast<int>(Line.size()) == AMaxLineLength)
                break;
            Line.push_back(Chunk[I]);
        }
    }
    if (Line.empty() && !EndOfLine && AtEnd) {
        AStream.SetPosition(Start);
        VLine.clear();
        return false;
    }
    AStream.SetPosition(Start + static_cast<int64_t>(Line.size()) + EndOfLine);
    VLine = BytesToString(Line, AEncoding);
    return true;
}
