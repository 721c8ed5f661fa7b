// Raw header lines ("Name: value") with case-insensitive lookup, folding of
// long values over continuation lines, and access to the "; name=value"
// parameters that follow the first item of a value.
#pragma once

#include <string>
#include <string_view>

#include "core/StringList.h"

// Which characters force a parameter value into quotes and end an unquoted
// one (besides the control characters, space and DEL).
enum TIdHeaderQuotingType { QuotePlain, QuoteRFC822, QuoteMIME, QuoteHTTP };

// The first item of a header value: the text before the first ";", trimmed.
std::string ExtractHeaderItem(std::string_view AHeaderLine);
// The value of parameter ASubItem (name compared without case); empty when absent.
std::string ExtractHeaderSubItem(std::string_view AHeaderLine, std::string_view ASubItem,
                                 TIdHeaderQuotingType AQuoteType);
// The header with parameter ASubItem replaced or added; an empty AValue removes
// it. The parameters are written again, each as "; name=value".
std::string ReplaceHeaderSubItem(std::string_view AHeaderLine, std::string_view ASubItem, std::string_view AValue,
                                 TIdHeaderQuotingType AQuoteType);
// True when the first item is AMediaType (without case); a bare type such as
// "text" matches every subtype.
bool IsHeaderMediaType(std::string_view AHeaderLine, std::string_view AMediaType);
// "text" and "html" of "text/html; charset=x"; empty parts when missing.
std::string ExtractHeaderMediaType(std::string_view AHeaderLine);
std::string ExtractHeaderMediaSubType(std::string_view AHeaderLine);

class TIdHeaderList : public TStringList {
public:
    explicit TIdHeaderList(TIdHeaderQuotingType AQuoteType);

    const std::string& NameValueSeparator() const { return FNameValueSeparator; }
    void SetNameValueSeparator(std::string Value) { FNameValueSeparator = std::move(Value); }
    bool UnfoldLines() const { return FUnfoldLines; }
    void SetUnfoldLines(bool Value) { FUnfoldLines = Value; }
    bool FoldLines() const { return FFoldLines; }
    void SetFoldLines(bool Value) { FFoldLines = Value; }
    int FoldLength() const { return FFoldLinesLength; }
    void SetFoldLength(int Value) { FFoldLinesLength = Value; }
    TIdHeaderQuotingType QuoteType() const { return FQuoteType; }

    // The name of line AIndex (untrimmed); empty when the line has no ":".
    std::string Names(int AIndex) const;
    int IndexOfName(const std::string& AName) const;
    // The (unfolded) value of the first line named AName; empty when none.
    std::string Values(const std::string& AName) const;
    // Replaces the first line named AName in place, appends one when there is
    // none, or (empty Value) deletes it, continuation lines included.
    void SetValues(const std::string& AName, const std::string& Value);
    // Appends a line; nothing when name or value is empty.
    void AddValue(const std::string& AName, const std::string& AValue);
    // Appends to ADest the value of every line named AName, in order.
    void Extract(const std::string& AName, TStringList& ADest) const;

    std::string GetParam(const std::string& AName, const std::string& AParam) const;
    void SetParam(const std::string& AName, const std::string& AParam, const std::string& AValue);
    // Everything after the first item; setting keeps the first item.
    std::string GetAllParams(const std::string& AName) const;
    void SetAllParams(const std::string& AName, const std::string& AValue);

    // Each header, unfolded, as a "name=value" line of ADest.
    void ConvertToStdValues(TStringList& ADest) const;
    // Each "name=value" line of ASrc, added with AddValue.
    void AddStdValues(const TStringList& ASrc);
    // A header list is copied line by line, any other list read as name=value lines.
    void AddStrings(const TStringList& AStrings);

private:
    // The separator without its trailing blanks (":"): it ends a name.
    std::string_view NameDelimiter() const;
    std::string NameOf(const std::string& ALine) const;
    bool IsNamed(int AIndex, const std::string& AName) const;
    // The line index after AIndex and its continuation lines.
    int NextHeaderIndex(int AIndex) const;
    std::string ValueAt(int AIndex) const;
    void DeleteHeaderAt(int AIndex);
    // Stores AName + separator + AValue (folded) at AIndex; Count() appends.
    void InsertHeader(int AIndex, const std::string& AName, const std::string& AValue);
    TIdHeaderQuotingType ParamQuoteType(const std::string& AName) const;

    std::string FNameValueSeparator = ": ";
    bool FUnfoldLines = true;
    bool FFoldLines = true;
    int FFoldLinesLength;
    TIdHeaderQuotingType FQuoteType;
};

// Splits ALine into lines of at most AMaxLength characters, breaking after a
// space, tab or comma; every piece after the first starts with a space.
void FoldHeaderLine(const std::string& ALine, int AMaxLength, TStringList& ADest);
