#include "http/kbvIdHTTPHeaderInfo.h"

#include <algorithm>
#include <charconv>
#include <climits>

#include "core/Exceptions.h"
#include "core/Format.h"
#include "core/Text.h"
#include "http/kbvIdGlobalProtocols_Dates.h"
#include "net/kbvIdGlobal.h"

namespace {

// The whole (trimmed) text as a decimal integer, else ADefault.
int64_t StrToInt64Def(std::string_view AText, int64_t ADefault) {
    AText = Trim(AText);
    int64_t Value = 0;
    auto [End, Error] = std::from_chars(AText.data(), AText.data() + AText.size(), Value);
    return Error == std::errc() && End == AText.data() + AText.size() && !AText.empty() ? Value : ADefault;
}

// The text before ADelimiter, removing it and the delimiter from VText; all
// of VText when the delimiter is missing.
std::string_view Fetch(std::string_view& VText, char ADelimiter) {
    size_t Pos = VText.find(ADelimiter);
    std::string_view Result = VText.substr(0, Pos);
    VText = Pos == std::string_view::npos ? std::string_view() : VText.substr(Pos + 1);
    return Result;
}

std::string ToText(int64_t AValue) { return std::to_string(AValue); }

// The charset a text media type implies when it names none.
std::string DefaultTextCharSet(const std::string& AContentType) {
    if (!IsHeaderMediaType(AContentType, "text"))
        return {};
    std::string SubType = ExtractHeaderMediaSubType(AContentType);
    if (TextIsSame(SubType, "xml") || TextIsSame(SubType, "xml-external-parsed-entity") || TextEndsWith(SubType, "+xml"))
        return "us-ascii";
    return "ISO-8859-1";
}

// Expires: a number of seconds from now, or an Internet date.
TDateTime ParseExpires(const std::string& AValue) {
    int64_t Seconds = StrToInt64Def(AValue, INT64_MIN);
    if (Seconds == INT64_MIN)
        return HttpDateToLocal(AValue);
    return Seconds < 0 ? 0 : Now() + static_cast<double>(Seconds) / 86400.0;
}

}  // namespace

// ---- TIdEntityHeaderInfo

TIdEntityHeaderInfo::TIdEntityHeaderInfo(TPersistent* AOwner) : FOwner(AOwner) { TIdEntityHeaderInfo::Clear(); }

TComponent* TIdEntityHeaderInfo::OwnerComponent() const {
    TPersistent* Owner = FOwner;
    while (Owner) {
        if (auto* Component = dynamic_cast<TComponent*>(Owner))
            return Component;
        auto* Record = dynamic_cast<TIdEntityHeaderInfo*>(Owner);
        Owner = Record ? Record->Owner() : nullptr;
    }
    return nullptr;
}

void TIdEntityHeaderInfo::Clear() {
    FCacheControl.clear();
    FCharSet.clear();
    FConnection.clear();
    FContentVersion.clear();
    FContentDisposition.clear();
    FContentEncoding.clear();
    FContentLanguage.clear();
    FContentType.clear();
    FContentRangeUnits.clear();
    FETag.clear();
    SetContentLength(-1);
    FContentRangeStart = -1;
    FContentRangeEnd = -1;
    FContentRangeInstanceLength = -1;
    FDate = 0;
    FLastModified = 0;
    FExpires = 0;
    FRawHeaders.Clear();
}

void TIdEntityHeaderInfo::SetContentLength(int64_t Value) {
    FContentLength = Value;
    FHasContentLength = Value >= 0;
}

void TIdEntityHeaderInfo::SetContentType(const std::string& Value) {
    if (Value.empty()) {
        FContentType.clear();
        FCharSet.clear();
        return;
    }
    std::string CharSet = ExtractHeaderSubItem(Value, "charset", QuoteHTTP);
    FContentType = ReplaceHeaderSubItem(Value, "charset", "", QuoteHTTP);
    if (!CharSet.empty())
        FCharSet = CharSet;
    else if (FCharSet.empty())
        FCharSet = DefaultTextCharSet(FContentType);
}

void TIdEntityHeaderInfo::SetHeaderIfNotEmpty(const std::string& AName, const std::string& AValue) {
    if (!AValue.empty())
        FRawHeaders.SetValues(AName, AValue);
}

void TIdEntityHeaderInfo::SetHeaders() {
    FRawHeaders.Clear();
    SetHeaderIfNotEmpty("Connection", FConnection);
    SetHeaderIfNotEmpty("Content-Version", FContentVersion);
    SetHeaderIfNotEmpty("Content-Disposition", FContentDisposition);
    SetHeaderIfNotEmpty("Content-Encoding", FContentEncoding);
    SetHeaderIfNotEmpty("Content-Language", FContentLanguage);
    if (!FContentType.empty()) {
        FRawHeaders.SetValues("Content-Type", FContentType);
        FRawHeaders.SetParam("Content-Type", "charset", FCharSet);
    }
    if (FContentLength >= 0)
        FRawHeaders.SetValues("Content-Length", ToText(FContentLength));
    SetHeaderIfNotEmpty("Cache-control", FCacheControl);
    if (FDate > 0)
        FRawHeaders.SetValues("Date", LocalDateTimeToHttpStr(FDate));
    SetHeaderIfNotEmpty("ETag", FETag);
    if (FExpires > 0)
        FRawHeaders.SetValues("Expires", LocalDateTimeToHttpStr(FExpires));
    SetHeaderIfNotEmpty("Pragma", FPragma);
    SetHeaderIfNotEmpty("Transfer-Encoding", FTransferEncoding);
    // Verbatim, duplicates included: the caller knows what it sends.
    for (int I = 0; I < FCustomHeaders.Count(); ++I)
        FRawHeaders.Add(FCustomHeaders.Strings(I));
}

void TIdEntityHeaderInfo::ParseRawHeaders() {
    const TIdHeaderList& Raw = FRawHeaders;
    FCacheControl = Raw.Values("Cache-control");
    FConnection = Raw.Values("Connection");
    FContentVersion = Raw.Values("Content-Version");
    FContentDisposition = Raw.Values("Content-Disposition");
    FContentEncoding = Raw.Values("Content-Encoding");
    FContentLanguage = Raw.Values("Content-Language");
    SetContentType(Raw.Values("Content-Type"));
    SetContentLength(StrToInt64Def(Raw.Values("Content-Length"), -1));

    // "bytes 0-499/1234": units, range, instance length.
    std::string ContentRange = Raw.Values("Content-Range");
    std::string_view Rest = ContentRange;
    FContentRangeUnits = Fetch(Rest, ' ');
    std::string_view Range = Fetch(Rest, '/');
    FContentRangeInstanceLength = StrToInt64Def(Fetch(Rest, ' '), -1);
    FContentRangeStart = StrToInt64Def(Fetch(Range, '-'), -1);
    FContentRangeEnd = StrToInt64Def(Range, -1);

    FDate = Raw.IndexOfName("Date") >= 0 ? HttpDateToLocal(Raw.Values("Date")) : Now();
    FLastModified = HttpDateToLocal(Raw.Values("Last-Modified"));
    FExpires = ParseExpires(Raw.Values("Expires"));
    FETag = Raw.Values("ETag");
    FPragma = Raw.Values("Pragma");
    FTransferEncoding = Raw.Values("Transfer-Encoding");
}

void TIdEntityHeaderInfo::AssignTo(TPersistent& Dest) const {
    auto* Target = dynamic_cast<TIdEntityHeaderInfo*>(&Dest);
    if (!Target) {
        TPersistent::AssignTo(Dest);
        return;
    }
    Target->FCacheControl = FCacheControl;
    Target->FRawHeaders.Assign(FRawHeaders);
    Target->FCharSet = FCharSet;
    Target->FConnection = FConnection;
    Target->FContentDisposition = FContentDisposition;
    Target->FContentEncoding = FContentEncoding;
    Target->FContentLanguage = FContentLanguage;
    Target->FContentLength = FContentLength;
    Target->FContentRangeEnd = FContentRangeEnd;
    Target->FContentRangeStart = FContentRangeStart;
    Target->FContentRangeInstanceLength = FContentRangeInstanceLength;
    Target->FContentRangeUnits = FContentRangeUnits;
    Target->FContentType = FContentType;
    Target->FContentVersion = FContentVersion;
    Target->FCustomHeaders.Assign(FCustomHeaders);
    Target->FDate = FDate;
    Target->FExpires = FExpires;
    Target->FETag = FETag;
    Target->FLastModified = FLastModified;
    Target->FPragma = FPragma;
    Target->FHasContentLength = FHasContentLength;
    Target->FTransferEncoding = FTransferEncoding;
}

// ---- TIdProxyConnectionInfo

void TIdProxyConnectionInfo::Clear() {
    FServer.clear();
    FUsername.clear();
    FPassword.clear();
    FPort = 0;
}

namespace {

// A Basic object for the credentials, made when the record asks for Basic by default.
std::unique_ptr<TIdAuthentication> BasicFor(const std::string& AUsername, const std::string& APassword) {
    std::unique_ptr<TIdAuthentication> Basic = TIdBasicAuthentication::Create();
    Basic->SetUsername(AUsername);
    Basic->SetPassword(APassword);
    return Basic;
}

}  // namespace

void TIdProxyConnectionInfo::SetHeaders(TIdHeaderList& AHeaders) {
    if (!FAuthentication && FBasicByDefault)
        FAuthentication = BasicFor(FUsername, FPassword);
    if (!FAuthentication)
        return;
    const std::string Value = FAuthentication->Authentication();
    if (!Value.empty())
        AHeaders.SetValues("Proxy-Authorization", Value);
}

void TIdProxyConnectionInfo::SetProxyPort(int Value) {
    if (Value != FPort)
        FAuthentication.reset();
    FPort = Value;
}

void TIdProxyConnectionInfo::SetProxyServer(const std::string& Value) {
    if (!TextIsSame(Value, FServer))
        FAuthentication.reset();
    FServer = Value;
}

void TIdProxyConnectionInfo::AssignTo(TPersistent& Dest) const {
    auto* Target = dynamic_cast<TIdProxyConnectionInfo*>(&Dest);
    if (!Target) {
        TPersistent::AssignTo(Dest);
        return;
    }
    Target->FServer = FServer;
    Target->FPort = FPort;
    Target->FUsername = FUsername;
    Target->FPassword = FPassword;
    Target->FBasicByDefault = FBasicByDefault;
}

// ---- TIdEntityRange, TIdEntityRanges

std::string TIdEntityRange::Text() const {
    if (FStartPos >= 0)
        return ToText(FStartPos) + "-" + (FEndPos >= 0 ? ToText(FEndPos) : std::string());
    if (FSuffixLength >= 0)
        return "-" + ToText(FSuffixLength);
    return {};
}

void TIdEntityRange::SetText(const std::string& Value) {
    FStartPos = FEndPos = FSuffixLength = -1;
    std::string_view Rest = Trim(Value);
    std::string_view Start = Trim(Fetch(Rest, '-'));
    int64_t Last = StrToInt64Def(Fetch(Rest, ' '), -1);
    if (Start.empty()) {
        FSuffixLength = Last;
    } else {
        FStartPos = StrToInt64Def(Start, -1);
        FEndPos = Last;
    }
}

void TIdEntityRange::AssignTo(TPersistent& Dest) const {
    auto* Target = dynamic_cast<TIdEntityRange*>(&Dest);
    if (!Target) {
        TPersistent::AssignTo(Dest);
        return;
    }
    Target->FStartPos = FStartPos;
    Target->FEndPos = FEndPos;
    Target->FSuffixLength = FSuffixLength;
}

TIdEntityRange& TIdEntityRanges::Ranges(int AIndex) {
    if (AIndex < 0 || AIndex >= Count())
        RaiseListIndexError(AIndex);
    return *FRanges[static_cast<size_t>(AIndex)];
}

const TIdEntityRange& TIdEntityRanges::Ranges(int AIndex) const {
    return const_cast<TIdEntityRanges*>(this)->Ranges(AIndex);
}

TIdEntityRange& TIdEntityRanges::Add() { return *FRanges.emplace_back(std::make_unique<TIdEntityRange>()); }

std::string TIdEntityRanges::Text() const {
    std::string List;
    for (const auto& Range : FRanges) {
        std::string Item = Range->Text();
        if (!Item.empty())
            List += (List.empty() ? "" : ",") + Item;
    }
    return List.empty() ? List : FUnits + "=" + List;
}

void TIdEntityRanges::SetText(const std::string& Value) {
    Clear();
    std::string_view Rest = Trim(Value);
    // A list without "units=" is read as byte ranges.
    std::string_view Units = Rest.find('=') == std::string_view::npos ? std::string_view() : Trim(Fetch(Rest, '='));
    FUnits = Units.empty() ? "bytes" : std::string(Units);
    while (!Rest.empty()) {
        std::string_view Item = Trim(Fetch(Rest, ','));
        if (!Item.empty())
            Add().SetText(std::string(Item));
    }
}

void TIdEntityRanges::AssignTo(TPersistent& Dest) const {
    auto* Target = dynamic_cast<TIdEntityRanges*>(&Dest);
    if (!Target) {
        TPersistent::AssignTo(Dest);
        return;
    }
    if (Target == this)
        return;
    Target->Clear();
    for (const auto& Range : FRanges)
        Target->Add().Assign(*Range);
    Target->FUnits = FUnits;
}

// ---- TIdRequestHeaderInfo

TIdRequestHeaderInfo::TIdRequestHeaderInfo(TPersistent* AOwner) : TIdEntityHeaderInfo(AOwner) {
    TIdRequestHeaderInfo::Clear();
}

void TIdRequestHeaderInfo::Clear() {
    TIdEntityHeaderInfo::Clear();
    FAccept = "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8";
    FAcceptCharSet.clear();
    FUserAgent = "Mozilla/3.0 (compatible; Vesk Library)";
    FRanges.Clear();
    FBasicByDefault = false;
    FMethodOverride.clear();
}

void TIdRequestHeaderInfo::SetHeaders() {
    TIdEntityHeaderInfo::SetHeaders();
    // SetValues overwrites a custom line of the same name in place.
    SetHeaderIfNotEmpty("Proxy-Connection", FProxyConnection);
    SetHeaderIfNotEmpty("Host", FHost);
    SetHeaderIfNotEmpty("Accept", FAccept);
    SetHeaderIfNotEmpty("Accept-Charset", FAcceptCharSet);
    SetHeaderIfNotEmpty("Accept-Encoding", FAcceptEncoding);
    SetHeaderIfNotEmpty("Accept-Language", FAcceptLanguage);
    SetHeaderIfNotEmpty("From", FFrom);
    SetHeaderIfNotEmpty("Referer", FReferer);
    SetHeaderIfNotEmpty("User-Agent", FUserAgent);
    SetHeaderIfNotEmpty("Range", FRanges.Text());
    if (LastModified() > 0)
        RawHeaders().SetValues("If-Modified-Since", LocalDateTimeToHttpStr(LastModified()));
    // Without an authentication object a custom Authorization line (a
    // bearer token) goes out as the caller wrote it.
    if (!FAuthentication && FBasicByDefault)
        FAuthentication = BasicFor(FUserName, FPassword);
    if (FAuthentication)
        SetHeaderIfNotEmpty("Authorization", FAuthentication->Authentication());
    SetHeaderIfNotEmpty("X-HTTP-Method-Override", FMethodOverride);
}

void TIdRequestHeaderInfo::ParseRawHeaders() {
    TIdEntityHeaderInfo::ParseRawHeaders();
    const TIdHeaderList& Raw = RawHeaders();
    FAccept = Raw.Values("Accept");
    FAcceptCharSet = Raw.Values("Accept-Charset");
    FAcceptEncoding = Raw.Values("Accept-Encoding");
    FAcceptLanguage = Raw.Values("Accept-Language");
    FHost = Raw.Values("Host");
    FFrom = Raw.Values("From");
    FReferer = Raw.Values("Referer");
    FUserAgent = Raw.Values("User-Agent");
    FRanges.SetText(Raw.Values("Range"));
    FMethodOverride = Raw.Values("X-HTTP-Method-Override");
}

void TIdRequestHeaderInfo::AssignTo(TPersistent& Dest) const {
    TIdEntityHeaderInfo::AssignTo(Dest);
    auto* Target = dynamic_cast<TIdRequestHeaderInfo*>(&Dest);
    if (!Target)
        return;
    Target->FAccept = FAccept;
    Target->FAcceptCharSet = FAcceptCharSet;
    Target->FAcceptEncoding = FAcceptEncoding;
    Target->FAcceptLanguage = FAcceptLanguage;
    Target->FExpect = FExpect;
    Target->FFrom = FFrom;
    Target->FPassword = FPassword;
    Target->FReferer = FReferer;
    Target->FUserAgent = FUserAgent;
    Target->FUserName = FUserName;
    Target->FHost = FHost;
    Target->FProxyConnection = FProxyConnection;
    Target->FRanges.Assign(FRanges);
    Target->FBasicByDefault = FBasicByDefault;
    Target->FMethodOverride = FMethodOverride;
}

// ---- TIdResponseHeaderInfo

TIdResponseHeaderInfo::TIdResponseHeaderInfo(TPersistent* AOwner) : TIdEntityHeaderInfo(AOwner) {
    TIdResponseHeaderInfo::Clear();
}

void TIdResponseHeaderInfo::Clear() {
    TIdEntityHeaderInfo::Clear();
    FLocation.clear();
    FServer.clear();
    FAcceptPatch.clear();
    FAcceptRanges.clear();
    FWWWAuthenticate.Clear();
    FProxyAuthenticate.Clear();
}

void TIdResponseHeaderInfo::SetHeaders() {
    TIdEntityHeaderInfo::SetHeaders();
    if (HasContentRange() || HasContentRangeInstance()) {
        std::string Units = ContentRangeUnits().empty() ? "bytes" : ContentRangeUnits();
        std::string Range =
            HasContentRange() ? ToText(ContentRangeStart()) + "-" + ToText(ContentRangeEnd()) : std::string("*");
        std::string Instance = HasContentRangeInstance() ? ToText(ContentRangeInstanceLength()) : std::string("*");
        RawHeaders().SetValues("Content-Range", Units + " " + Range + "/" + Instance);
    }
    SetHeaderIfNotEmpty("Accept-Patch", FAcceptPatch);
    SetHeaderIfNotEmpty("Accept-Ranges", FAcceptRanges);
    if (LastModified() > 0)
        RawHeaders().SetValues("Last-Modified", DateTimeGMTToHttpStr(LastModified()));
}

void TIdResponseHeaderInfo::ParseRawHeaders() {
    TIdEntityHeaderInfo::ParseRawHeaders();
    const TIdHeaderList& Raw = RawHeaders();
    FLocation = Raw.Values("Location");
    FServer = Raw.Values("Server");
    FProxyConnection = Raw.Values("Proxy-Connection");
    FWWWAuthenticate.Clear();
    Raw.Extract("WWW-Authenticate", FWWWAuthenticate);
    FProxyAuthenticate.Clear();
    Raw.Extract("Proxy-Authenticate", FProxyAuthenticate);
    FAcceptPatch = Raw.Values("Accept-Patch");
    FAcceptRanges = Raw.Values("Accept-Ranges");
}

void TIdResponseHeaderInfo::AssignTo(TPersistent& Dest) const {
    TIdEntityHeaderInfo::AssignTo(Dest);
    auto* Target = dynamic_cast<TIdResponseHeaderInfo*>(&Dest);
    if (!Target)
        return;
    Target->FAcceptPatch = FAcceptPatch;
    Target->FAcceptRanges = FAcceptRanges;
    Target->FLocation = FLocation;
    Target->FServer = FServer;
    Target->FProxyConnection = FProxyConnection;
    Target->FProxyAuthenticate.Assign(FProxyAuthenticate);
    Target->FWWWAuthenticate.Assign(FWWWAuthenticate);
}

// ---- TIdMetaHTTPEquiv

namespace {

struct THtmlTag {
    std::string Name;
    bool Closing = false;
    std::vector<std::pair<std::string, std::string>> Attributes;

    std::string Attribute(std::string_view AName) const {
        for (const auto& [Name, Value] : Attributes)
            if (TextIsSame(Name, AName))
                return Value;
        return {};
    }
};

bool IsHtmlSpace(char C) { return C == ' ' || C == '\t' || C == '\r' || C == '\n' || C == '\f'; }

bool IsNameChar(char C) {
    return (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9') || C == '-' || C == '_' ||
           C == ':';
}

// Walks the tags of an HTML text, stepping over comments, declarations and
// processing instructions. Forgiving: malformed markup ends a tag early or
// skips a stray "<", never more.
class THtmlScanner {
public:
    explicit THtmlScanner(std::string_view AText) : FText(AText) {}

    bool NextTag(THtmlTag& VTag) {
        while (true) {
            size_t Open = FText.find('<', FPos);
            if (Open == std::string_view::npos)
                return false;
            FPos = Open + 1;
            if (FText.substr(Open, 4) == "<!--") {
                SkipPast("-->", Open + 4);
            } else if (At(FPos) == '!' || At(FPos) == '?') {
                SkipPast(">", FPos);
            } else if (ReadTag(VTag)) {
                return true;
            }
        }
    }

    // Moves past the end tag of AName, so raw text such as a script's is not
    // taken for markup.
    void SkipContent(std::string_view AName) {
        for (size_t Pos = FText.find("</", FPos); Pos != std::string_view::npos; Pos = FText.find("</", Pos + 2)) {
            std::string_view Name = FText.substr(Pos + 2, AName.size());
            if (TextIsSame(Name, AName) && !IsNameChar(At(Pos + 2 + AName.size()))) {
                SkipPast(">", Pos);
                return;
            }
        }
        FPos = FText.size();
    }

private:
    char At(size_t APos) const { return APos < FText.size() ? FText[APos] : '\0'; }

    void SkipPast(std::string_view AEnd, size_t AFrom) {
        size_t End = FText.find(AEnd, AFrom);
        FPos = End == std::string_view::npos ? FText.size() : End + AEnd.size();
    }

    std::string ReadName() {
        size_t Start = FPos;
        while (IsNameChar(At(FPos)))
            ++FPos;
        return std::string(FText.substr(Start, FPos - Start));
    }

    void SkipSpaces() {
        while (IsHtmlSpace(At(FPos)))
            ++FPos;
    }

    std::string ReadAttributeValue() {
        char Quote = At(FPos);
        size_t Start = FPos;
        if (Quote == '"' || Quote == '\'') {
            size_t End = FText.find(Quote, ++Start);
            End = End == std::string_view::npos ? FText.size() : End;
            FPos = std::min(End + 1, FText.size());
            return std::string(FText.substr(Start, End - Start));
        }
        while (FPos < FText.size() && !IsHtmlSpace(FText[FPos]) && FText[FPos] != '>')
            ++FPos;
        return std::string(FText.substr(Start, FPos - Start));
    }

    // Reads the tag whose "<" lies just before FPos; false for a stray "<".
    bool ReadTag(THtmlTag& VTag) {
        VTag = THtmlTag();
        VTag.Closing = At(FPos) == '/';
        FPos += VTag.Closing ? 1 : 0;
        VTag.Name = ReadName();
        if (VTag.Name.empty())
            return false;
        while (FPos < FText.size() && FText[FPos] != '>') {
            SkipSpaces();
            std::string Name = ReadName();
            SkipSpaces();
            std::string Value;
            if (At(FPos) == '=') {
                ++FPos;
                SkipSpaces();
                Value = ReadAttributeValue();
            }
            if (!Name.empty())
                VTag.Attributes.emplace_back(std::move(Name), std::move(Value));
            else if (FPos < FText.size() && FText[FPos] != '>')
                ++FPos;  // "/", a stray quote or other junk
        }
        FPos = std::min(FPos + 1, FText.size());
        return true;
    }

    std::string_view FText;
    size_t FPos = 0;
};

std::string ReadAll8Bit(TStream& AStream) {
    int64_t Saved = AStream.Position();
    AStream.SetPosition(0);
    std::string Text(static_cast<size_t>(AStream.Size()), '\0');
    Text.resize(static_cast<size_t>(AStream.Read(Text.data(), static_cast<int64_t>(Text.size()))));
    AStream.SetPosition(Saved);
    return Text;
}

}  // namespace

void TIdMetaHTTPEquiv::ProcessMetaHTTPEquiv(TStream& AStream) {
    Clear();
    std::string Text = ReadAll8Bit(AStream);
    THtmlScanner Scanner(Text);
    THtmlTag Tag;
    bool InHead = false;
    std::string CharSet;
    while (Scanner.NextTag(Tag)) {
        bool Opening = !Tag.Closing;
        if (Opening && (TextIsSame(Tag.Name, "title") || TextIsSame(Tag.Name, "script"))) {
            Scanner.SkipContent(Tag.Name);
        } else if (TextIsSame(Tag.Name, "body") || (InHead && TextIsSame(Tag.Name, "head"))) {
            break;  // the head is over
        } else if (Opening && TextIsSame(Tag.Name, "head")) {
            InHead = true;
        } else if (InHead && Opening && TextIsSame(Tag.Name, "meta")) {
            RawHeaders().AddValue(Tag.Attribute("http-equiv"), Tag.Attribute("content"));
            if (std::string Value = Tag.Attribute("charset"); !Value.empty())
                CharSet = Value;
        }
    }
    if (RawHeaders().Count() > 0)
        ParseRawHeaders();
    if (!CharSet.empty())
        SetCharSet(CharSet);
}
