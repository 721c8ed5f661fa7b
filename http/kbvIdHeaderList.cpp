#include "http/kbvIdHeaderList.h"

#include <algorithm>
#include <climits>
#include <vector>

#include "core/Text.h"
#include "net/kbvIdGlobal.h"

namespace {

bool IsBlank(char C) { return static_cast<unsigned char>(C) <= ' '; }

bool IsContinuation(const std::string& ALine) { return !ALine.empty() && (ALine[0] == ' ' || ALine[0] == '\t'); }

// ';' and '"' delimit parameters in every quoting type, so a plain value
// holding them must be quoted as well or it could not be read back.
std::string_view Specials(TIdHeaderQuotingType AQuoteType) {
    switch (AQuoteType) {
    case QuoteRFC822: return "()<>@,;:\\\"./";
    case QuoteMIME: return "()<>@,;:\\\"/[]?=";
    case QuoteHTTP: return "()<>@,;:\\\"/[]?={} \t";
    case QuotePlain: break;
    }
    return ";\"";
}

bool EndsToken(char C, TIdHeaderQuotingType AQuoteType) {
    auto U = static_cast<unsigned char>(C);
    return U <= ' ' || U == 127 || Specials(AQuoteType).find(C) != std::string_view::npos;
}

struct THeaderParam {
    std::string Name;
    std::string Value;
    bool Quoted = false;
};

struct TParsedHeader {
    std::string Item;
    std::vector<THeaderParam> Params;
};

// Reads a quoted string starting after its opening quote; APos ends after
// the closing quote (or at the end of an unterminated string).
std::string ReadQuoted(std::string_view S, size_t& APos) {
    std::string Value;
    while (APos < S.size()) {
        char C = S[APos++];
        if (C == '"')
            break;
        if (C == '\\' && APos < S.size())
            C = S[APos++];
        Value += C;
    }
    return Value;
}

TParsedHeader ParseHeader(std::string_view ALine, TIdHeaderQuotingType AQuoteType) {
    TParsedHeader Result;
    size_t Pos = ALine.find(';');
    Result.Item = Trim(ALine.substr(0, Pos));
    if (Pos == std::string_view::npos)
        return Result;
    ++Pos;
    while (Pos < ALine.size()) {
        while (Pos < ALine.size() && IsBlank(ALine[Pos]))
            ++Pos;
        size_t NameEnd = ALine.find_first_of("=;", Pos);
        THeaderParam Param;
        Param.Name = Trim(ALine.substr(Pos, NameEnd - Pos));
        if (NameEnd == std::string_view::npos)
            break;
        Pos = NameEnd + 1;
        if (ALine[NameEnd] == ';')
            continue;  // a name without value is dropped
        while (Pos < ALine.size() && IsBlank(ALine[Pos]))
            ++Pos;
        if (Pos < ALine.size() && ALine[Pos] == '"') {
            ++Pos;
            Param.Value = ReadQuoted(ALine, Pos);
            Param.Quoted = true;
            Pos = ALine.find(';', Pos);  // whatever follows the quotes is dropped
            Pos = Pos == std::string_view::npos ? ALine.size() : Pos + 1;
        } else {
            size_t Start = Pos;
            while (Pos < ALine.size() && !EndsToken(ALine[Pos], AQuoteType))
                ++Pos;
            Param.Value = ALine.substr(Start, Pos - Start);
            if (Pos < ALine.size() && ALine[Pos] == ';')
                ++Pos;
        }
        if (!Param.Name.empty() && (Param.Quoted || !Param.Value.empty()))
            Result.Params.push_back(std::move(Param));
    }
    return Result;
}

std::string QuoteValue(const THeaderParam& AParam, TIdHeaderQuotingType AQuoteType) {
    bool NeedsQuotes = AParam.Quoted;
    for (char C : AParam.Value)
        NeedsQuotes = NeedsQuotes || EndsToken(C, AQuoteType);
    if (!NeedsQuotes)
        return AParam.Value;
    bool EscapeCR = AQuoteType == QuoteRFC822 || AQuoteType == QuoteMIME;
    std::string Result = "\"";
    for (char C : AParam.Value) {
        if (C == '"' || C == '\\' || (C == '\r' && EscapeCR))
            Result += '\\';
        Result += C;
    }
    return Result + '"';
}

std::string WriteHeader(const TParsedHeader& AHeader, TIdHeaderQuotingType AQuoteType) {
    if (AHeader.Item.empty())
        return {};
    std::string Result = AHeader.Item;
    for (const THeaderParam& Param : AHeader.Params)
        Result.append("; ").append(Param.Name).append("=").append(QuoteValue(Param, AQuoteType));
    return Result;
}

}  // namespace

std::string ExtractHeaderItem(std::string_view AHeaderLine) {
    return std::string(Trim(AHeaderLine.substr(0, AHeaderLine.find(';'))));
}

std::string ExtractHeaderSubItem(std::string_view AHeaderLine, std::string_view ASubItem,
                                 TIdHeaderQuotingType AQuoteType) {
    for (THeaderParam& Param : ParseHeader(AHeaderLine, AQuoteType).Params)
        if (TextIsSame(Param.Name, ASubItem))
            return std::move(Param.Value);
    return {};
}

std::string ReplaceHeaderSubItem(std::string_view AHeaderLine, std::string_view ASubItem, std::string_view AValue,
                                 TIdHeaderQuotingType AQuoteType) {
    TParsedHeader Header = ParseHeader(AHeaderLine, AQuoteType);
    auto& Params = Header.Params;
    auto First = Params.end();
    for (auto It = Params.begin(); It != Params.end();) {
        if (!TextIsSame(It->Name, ASubItem)) {
            ++It;
        } else if (First == Params.end()) {
            First = It++;
        } else {
            It = Params.erase(It);  // one value per name
        }
    }
    if (AValue.empty()) {
        if (First == Params.end())
            return std::string(AHeaderLine);
        Params.erase(First);
    } else if (First != Params.end()) {
        First->Value = AValue;  // keeps its quoting
    } else {
        Params.push_back({std::string(ASubItem), std::string(AValue), false});
    }
    return WriteHeader(Header, AQuoteType);
}

bool IsHeaderMediaType(std::string_view AHeaderLine, std::string_view AMediaType) {
    std::string Item = ExtractHeaderItem(AHeaderLine);
    if (AMediaType.find('/') == std::string_view::npos)
        return TextStartsWith(Item, std::string(AMediaType) + "/");
    return TextIsSame(Item, AMediaType);
}

std::string ExtractHeaderMediaType(std::string_view AHeaderLine) {
    std::string Item = ExtractHeaderItem(AHeaderLine);
    size_t Slash = Item.find('/');
    return Slash == std::string::npos ? Item : Item.substr(0, Slash);
}

std::string ExtractHeaderMediaSubType(std::string_view AHeaderLine) {
    std::string Item = ExtractHeaderItem(AHeaderLine);
    size_t Slash = Item.find('/');
    return Slash == std::string::npos ? std::string() : Item.substr(Slash + 1);
}

void FoldHeaderLine(const std::string& ALine, int AMaxLength, TStringList& ADest) {
    std::string Rest = ALine;
    const size_t Max = AMaxLength < 2 ? 2 : static_cast<size_t>(AMaxLength);
    const char* Breaks = " \t,";
    while (Rest.size() > Max) {
        // Break after the last break character that keeps the piece short
        // enough, else after the first one at all; index 0 is the continuation
        // marker and never a break.
        size_t Break = Rest.find_last_of(Breaks, Max - 1);
        if (Break == std::string::npos || Break == 0)
            Break = Rest.find_first_of(Breaks, Max);
        if (Break == std::string::npos)
            break;
        ADest.Add(std::string(TrimRight(std::string_view(Rest).substr(0, Break + 1))));
        std::string Continuation(1, ' ');
        Continuation += TrimLeft(std::string_view(Rest).substr(Break + 1));
        Rest = std::move(Continuation);
        if (Rest.size() == 1)
            return;  // only blanks were left
    }
    ADest.Add(std::string(TrimRight(Rest)));
}

TIdHeaderList::TIdHeaderList(TIdHeaderQuotingType AQuoteType)
    : FFoldLinesLength(AQuoteType == QuoteHTTP ? INT_MAX : 78), FQuoteType(AQuoteType) {}

std::string_view TIdHeaderList::NameDelimiter() const {
    std::string_view Delimiter = TrimRight(FNameValueSeparator);
    return Delimiter.empty() ? std::string_view(FNameValueSeparator) : Delimiter;
}

std::string TIdHeaderList::NameOf(const std::string& ALine) const {
    size_t Pos = ALine.find(NameDelimiter());
    return Pos == std::string::npos ? std::string() : ALine.substr(0, Pos);
}

std::string TIdHeaderList::Names(int AIndex) const { return NameOf(Strings(AIndex)); }

bool TIdHeaderList::IsNamed(int AIndex, const std::string& AName) const {
    return !AName.empty() && TextIsSame(NameOf(Strings(AIndex)), AName);
}

int TIdHeaderList::IndexOfName(const std::string& AName) const {
    for (int I = 0; I < Count(); ++I)
        if (IsNamed(I, AName))
            return I;
    return -1;
}

int TIdHeaderList::NextHeaderIndex(int AIndex) const {
    int Next = AIndex + 1;
    while (Next < Count() && IsContinuation(Strings(Next)))
        ++Next;
    return Next;
}

std::string TIdHeaderList::ValueAt(int AIndex) const {
    const std::string& Line = Strings(AIndex);
    size_t Skip = NameOf(Line).size() + NameDelimiter().size();
    std::string Value(Trim(std::string_view(Line).substr(std::min(Skip, Line.size()))));
    if (FUnfoldLines)
        for (int I = AIndex + 1; I < NextHeaderIndex(AIndex); ++I)
            Value = std::string(TrimRight(Value)) + " " + std::string(Trim(Strings(I)));
    return std::string(Trim(Value));
}

std::string TIdHeaderList::Values(const std::string& AName) const {
    int Index = IndexOfName(AName);
    return Index < 0 ? std::string() : ValueAt(Index);
}

void TIdHeaderList::DeleteHeaderAt(int AIndex) {
    for (int I = NextHeaderIndex(AIndex) - 1; I >= AIndex; --I)
        Delete(I);
}

void TIdHeaderList::InsertHeader(int AIndex, const std::string& AName, const std::string& AValue) {
    std::string Line = AName + FNameValueSeparator + AValue;
    if (!FFoldLines) {
        Insert(AIndex, std::move(Line));
        return;
    }
    TStringList Pieces;
    FoldHeaderLine(Line, FFoldLinesLength, Pieces);
    for (int I = 0; I < Pieces.Count(); ++I)
        Insert(AIndex + I, Pieces.Strings(I));
}

void TIdHeaderList::SetValues(const std::string& AName, const std::string& Value) {
    int Index = IndexOfName(AName);
    if (Index >= 0)
        DeleteHeaderAt(Index);
    if (!Value.empty())
        InsertHeader(Index >= 0 ? Index : Count(), AName, Value);
}

void TIdHeaderList::AddValue(const std::string& AName, const std::string& AValue) {
    if (!AName.empty() && !AValue.empty())
        InsertHeader(Count(), AName, AValue);
}

void TIdHeaderList::Extract(const std::string& AName, TStringList& ADest) const {
    for (int I = 0; I < Count(); ++I)
        if (IsNamed(I, AName))
            ADest.Add(ValueAt(I));
}

TIdHeaderQuotingType TIdHeaderList::ParamQuoteType(const std::string& AName) const {
    bool MIMEHeader = TextIsSame(AName, "Content-Type") || TextIsSame(AName, "Content-Disposition");
    if (FQuoteType == QuoteRFC822 && MIMEHeader)
        return QuoteMIME;
    if (FQuoteType == QuoteMIME && !MIMEHeader)
        return QuoteRFC822;
    return FQuoteType;
}

std::string TIdHeaderList::GetParam(const std::string& AName, const std::string& AParam) const {
    return ExtractHeaderSubItem(Values(AName), AParam, ParamQuoteType(AName));
}

void TIdHeaderList::SetParam(const std::string& AName, const std::string& AParam, const std::string& AValue) {
    SetValues(AName, ReplaceHeaderSubItem(Values(AName), AParam, AValue, ParamQuoteType(AName)));
}

std::string TIdHeaderList::GetAllParams(const std::string& AName) const {
    std::string Value = Values(AName);
    size_t Pos = Value.find(';');
    return Pos == std::string::npos ? std::string() : std::string(Trim(std::string_view(Value).substr(Pos + 1)));
}

void TIdHeaderList::SetAllParams(const std::string& AName, const std::string& AValue) {
    std::string Value = ExtractHeaderItem(Values(AName));
    if (!AValue.empty())
        Value += "; " + AValue;
    SetValues(AName, Value);
}

void TIdHeaderList::ConvertToStdValues(TStringList& ADest) const {
    for (int I = 0; I < Count(); I = NextHeaderIndex(I)) {
        std::string Name = NameOf(Strings(I));
        if (!Name.empty())
            ADest.Add(Name + ADest.NameValueSeparator() + ValueAt(I));
    }
}

void TIdHeaderList::AddStdValues(const TStringList& ASrc) {
    for (int I = 0; I < ASrc.Count(); ++I)
        AddValue(ASrc.Names(I), ASrc.ValueFromIndex(I));
}

void TIdHeaderList::AddStrings(const TStringList& AStrings) {
    if (dynamic_cast<const TIdHeaderList*>(&AStrings))
        TStringList::AddStrings(AStrings);
    else
        AddStdValues(AStrings);
}
