// An ordered list of text lines, with name=value access to its lines.
// Look-ups ignore ASCII letter case.
#pragma once

#include <string>
#include <vector>

#include "core/Persistent.h"

class TStringList : public TPersistent {
public:
    // Index arguments outside the list raise EListError.
    int Count() const { return static_cast<int>(FLines.size()); }
    const std::string& Strings(int AIndex) const;
    void SetStrings(int AIndex, std::string Value);
    int Add(std::string S);  // returns the new line's index
    void Insert(int AIndex, std::string S);  // AIndex may be Count()
    void Delete(int AIndex);
    void Clear() { FLines.clear(); }
    void AddStrings(const TStringList& AStrings);
    int IndexOf(const std::string& S) const;  // -1 when missing

    // Every line followed by CR LF.
    std::string Text() const;
    // Splits at CR LF, LF or CR; a break at the very end adds no empty line.
    void SetText(const std::string& Value);

    // A line "name=value" holds a name and a value, split at the first
    // separator; a line without one has neither.
    char NameValueSeparator() const { return FNameValueSeparator; }
    void SetNameValueSeparator(char Value) { FNameValueSeparator = Value; }
    std::string Names(int AIndex) const;
    // Empty for a negative index, so an IndexOfName miss can be passed on.
    std::string ValueFromIndex(int AIndex) const;
    int IndexOfName(const std::string& AName) const;
    std::string Values(const std::string& AName) const;
    // Replaces the value of the first line with that name, appends a line
    // when there is none, and deletes the line when Value is empty.
    void SetValues(const std::string& AName, const std::string& Value);

    // Takes the lines and the separator of another string list.
    void Assign(const TPersistent& Source) override;

private:
    void CheckIndex(int AIndex, int ALimit) const;

    std::vector<std::string> FLines;
    char FNameValueSeparator = '=';
};
