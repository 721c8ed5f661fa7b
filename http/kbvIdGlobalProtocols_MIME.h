// The MIME table: file extensions and their media types, for the parts of a
// multipart body that carry files.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/StringList.h"
#include "net/kbvIdException.h"

using TIdMimeTableBuildCacheEvent = std::function<void(TObject* Sender)>;

class TIdMimeTable : public TObject {
public:
    // With AutoFill the table is filled at once; otherwise on the first miss.
    explicit TIdMimeTable(bool AutoFill = true);

    // Lower-cases both texts and prefixes "." to an extension without one.
    // An empty text or an extension already present raises EIdException
    // "Extension is empty", "Mimetype is empty" or "Extension already exits"
    // when ARaiseOnError is set, and is ignored otherwise.
    void AddMimeType(const std::string& Ext, const std::string& MIMEType, bool ARaiseOnError = true);
    // The type of the file name's extension, "application/octet-stream"
    // when the table does not know it.
    std::string GetFileMIMEType(const std::string& AFileName);
    // The first extension (with its ".") of the type, "" when none has it.
    std::string GetDefaultFileExt(const std::string& MIMEType);
    // Runs OnBuildCache when assigned; otherwise loads the built-in list
    // into an empty table.
    virtual void BuildCache();
    // Lines "<extension><separator><type>", split at the first separator.
    // An extension already present keeps its type.
    void LoadFromStrings(const TStringList& AStrings, char MimeSeparator = '=');
    void SaveToStrings(TStringList& AStrings, char MimeSeparator = '=') const;

    // Kept for callers that set it: the types of the operating system are
    // never merged in, so a file gets the same type on every machine.
    bool LoadTypesFromOS() const { return FLoadTypesFromOS; }
    void SetLoadTypesFromOS(bool Value) { FLoadTypesFromOS = Value; }
    void SetOnBuildCache(TIdMimeTableBuildCacheEvent Value) { FOnBuildCache = std::move(Value); }

    int Count() const { return static_cast<int>(FFileExt.size()); }

private:
    int IndexOfExt(const std::string& ALowerExt) const;
    int IndexOfType(const std::string& ALowerType) const;

    std::vector<std::string> FFileExt;   // ".ext", lower case
    std::vector<std::string> FMIMEList;  // the type of the same index, lower case
    bool FLoadTypesFromOS = true;
    TIdMimeTableBuildCacheEvent FOnBuildCache;
};

// The lines of the built-in list, "ext=type", in their order.
const std::vector<std::string>& BuiltInMimeTypes();

// The type of a file name from a filled table ("application/octet-stream"
// when unknown).
std::string MediaTypeForFileName(const std::string& AFileName);
std::string GetMIMETypeFromFile(const std::string& AFileName);
// The first extension of a media type, "" when none.
std::string GetMIMEDefaultFileExt(const std::string& AMIMEType);
