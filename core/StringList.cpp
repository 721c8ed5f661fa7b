#include "core/StringList.h"

#include <algorithm>
#include <string_view>

#include "core/Exceptions.h"

namespace {
char LowerASCII(char C) { return C >= 'A' && C <= 'Z' ? static_cast<char>(C - 'A' + 'a') : C; }

bool SameText(std::string_view A, std::string_view B) {
    return A.size() == B.size() &&
           std::equal(A.begin(), A.end(), B.begin(), [](char X, char Y) { return LowerASCII(X) == LowerASCII(Y); });
}
}  // namespace

void TStringList::CheckIndex(int AIndex, int ALimit) const {
    if (AIndex < 0 || AIndex >= ALimit)
        RaiseListIndexError(AIndex);
}

const std::string& TStringList::Strings(int AIndex) const {
    CheckIndex(AIndex, Count());
    return FLines[static_cast<size_t>(AIndex)];
}

void TStringList::SetStrings(int AIndex, std::string Value) {
    CheckIndex(AIndex, Count());
    FLines[static_cast<size_t>(AIndex)] = std::move(Value);
}

int TStringList::Add(std::string S) {
    FLines.push_back(std::move(S));
    return Count() - 1;
}

void TStringList::Insert(int AIndex, std::string S) {
    CheckIndex(AIndex, Count() + 1);
    FLines.insert(FLines.begin() + AIndex, std::move(S));
}

void TStringList::Delete(int AIndex) {
    CheckIndex(AIndex, Count());
    FLines.erase(FLines.begin() + AIndex);
}

void TStringList::AddStrings(const TStringList& AStrings) {
    // Copy first: AStrings may be this list.
    std::vector<std::string> Lines = AStrings.FLines;
    FLines.insert(FLines.end(), Lines.begin(), Lines.end());
}

int TStringList::IndexOf(const std::string& S) const {
    for (int I = 0; I < Count(); ++I)
        if (SameText(FLines[static_cast<size_t>(I)], S))
            return I;
    return -1;
}

std::string TStringList::Text() const {
    std::string Result;
    for (const std::string& Line : FLines)
        Result.append(Line).append("\r\n");
    return Result;
}

void TStringList::SetText(const std::string& Value) {
    FLines.clear();
    size_t Start = 0;
    while (Start < Value.size()) {
        size_t Break = Value.find_first_of("\r\n", Start);
        if (Break == std::string::npos)
            Break = Value.size();
        FLines.push_back(Value.substr(Start, Break - Start));
        Start = Break;
        if (Start < Value.size() && Value[Start] == '\r')
            ++Start;
        if (Start < Value.size() && Value[Start] == '\n')
            ++Start;
    }
}

std::string TStringList::Names(int AIndex) const {
    const std::string& Line = Strings(AIndex);
    size_t Separator = Line.find(FNameValueSeparator);
    return Separator == std::string::npos ? std::string() : Line.substr(0, Separator);
}

std::string TStringList::ValueFromIndex(int AIndex) const {
    if (AIndex < 0)
        return {};
    const std::string& Line = Strings(AIndex);
    size_t Separator = Line.find(FNameValueSeparator);
    return Separator == std::string::npos ? std::string() : Line.substr(Separator + 1);
}

int TStringList::IndexOfName(const std::string& AName) const {
    for (int I = 0; I < Count(); ++I) {
        std::string_view Line = FLines[static_cast<size_t>(I)];
        size_t Separator = Line.find(FNameValueSeparator);
        if (Separator != std::string::npos && SameText(Line.substr(0, Separator), AName))
            return I;
    }
    return -1;
}

std::string TStringList::Values(const std::string& AName) const { return ValueFromIndex(IndexOfName(AName)); }

void TStringList::SetValues(const std::string& AName, const std::string& Value) {
    int I = IndexOfName(AName);
    if (Value.empty()) {
        if (I >= 0)
            Delete(I);
        return;
    }
    std::string Line = AName + FNameValueSeparator + Value;
    if (I >= 0)
        SetStrings(I, std::move(Line));
    else
        Add(std::move(Line));
}

void TStringList::Assign(const TPersistent& Source) {
    if (auto* List = dynamic_cast<const TStringList*>(&Source)) {
        FLines = List->FLines;
        FNameValueSeparator = List->FNameValueSeparator;
        return;
    }
    TPersistent::Assign(Source);
}
