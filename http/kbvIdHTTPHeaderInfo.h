// The HTTP header records: typed fields for the well-known headers of an
// entity, a request and a response, converted to the raw header list before
// sending (SetHeaders) and from it after receiving (ParseRawHeaders). Also the
// proxy connection settings and the byte ranges of a Range header.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/Component.h"
#include "core/DateTime.h"
#include "core/Persistent.h"
#include "core/Streams.h"
#include "http/kbvIdAuthentication.h"
#include "http/kbvIdHeaderList.h"

class TIdEntityHeaderInfo : public TPersistent {
public:
    // AOwner (not owned) is the component or record this record belongs to.
    explicit TIdEntityHeaderInfo(TPersistent* AOwner);
    TIdEntityHeaderInfo(const TIdEntityHeaderInfo&) = delete;
    TIdEntityHeaderInfo& operator=(const TIdEntityHeaderInfo&) = delete;

    virtual void Clear();
    // Fields to RawHeaders (which is cleared first), custom headers appended.
    virtual void SetHeaders();
    // RawHeaders to fields.
    virtual void ParseRawHeaders();

    TPersistent* Owner() const { return FOwner; }
    // The first component up the owner chain; null when there is none.
    TComponent* OwnerComponent() const;

    TIdHeaderList& RawHeaders() { return FRawHeaders; }
    const TIdHeaderList& RawHeaders() const { return FRawHeaders; }
    TIdHeaderList& CustomHeaders() { return FCustomHeaders; }
    const TIdHeaderList& CustomHeaders() const { return FCustomHeaders; }
    void SetCustomHeaders(const TIdHeaderList& Value) { FCustomHeaders.Assign(Value); }

    const std::string& CacheControl() const { return FCacheControl; }
    void SetCacheControl(std::string Value) { FCacheControl = std::move(Value); }
    const std::string& CharSet() const { return FCharSet; }
    void SetCharSet(std::string Value) { FCharSet = std::move(Value); }
    const std::string& Connection() const { return FConnection; }
    void SetConnection(std::string Value) { FConnection = std::move(Value); }
    const std::string& ContentDisposition() const { return FContentDisposition; }
    void SetContentDisposition(std::string Value) { FContentDisposition = std::move(Value); }
    const std::string& ContentEncoding() const { return FContentEncoding; }
    void SetContentEncoding(std::string Value) { FContentEncoding = std::move(Value); }
    const std::string& ContentLanguage() const { return FContentLanguage; }
    void SetContentLanguage(std::string Value) { FContentLanguage = std::move(Value); }
    int64_t ContentLength() const { return FContentLength; }
    void SetContentLength(int64_t Value);
    bool HasContentLength() const { return FHasContentLength; }
    int64_t ContentRangeStart() const { return FContentRangeStart; }
    void SetContentRangeStart(int64_t Value) { FContentRangeStart = Value; }
    int64_t ContentRangeEnd() const { return FContentRangeEnd; }
    void SetContentRangeEnd(int64_t Value) { FContentRangeEnd = Value; }
    int64_t ContentRangeInstanceLength() const { return FContentRangeInstanceLength; }
    void SetContentRangeInstanceLength(int64_t Value) { FContentRangeInstanceLength = Value; }
    const std::string& ContentRangeUnits() const { return FContentRangeUnits; }
    void SetContentRangeUnits(std::string Value) { FContentRangeUnits = std::move(Value); }
    bool HasContentRange() const { return FContentRangeEnd >= 0; }
    bool HasContentRangeInstance() const { return FContentRangeInstanceLength >= 0; }
    // The media type without its charset parameter, which goes to CharSet;
    // a text type without one gets the default charset of its kind.
    const std::string& ContentType() const { return FContentType; }
    void SetContentType(const std::string& Value);
    const std::string& ContentVersion() const { return FContentVersion; }
    void SetContentVersion(std::string Value) { FContentVersion = std::move(Value); }
    // Local date-times; 0 means absent.
    TDateTime Date() const { return FDate; }
    void SetDate(TDateTime Value) { FDate = Value; }
    TDateTime Expires() const { return FExpires; }
    void SetExpires(TDateTime Value) { FExpires = Value; }
    TDateTime LastModified() const { return FLastModified; }
    void SetLastModified(TDateTime Value) { FLastModified = Value; }
    const std::string& ETag() const { return FETag; }
    void SetETag(std::string Value) { FETag = std::move(Value); }
    const std::string& Pragma() const { return FPragma; }
    void SetPragma(std::string Value) { FPragma = std::move(Value); }
    const std::string& TransferEncoding() const { return FTransferEncoding; }
    void SetTransferEncoding(std::string Value) { FTransferEncoding = std::move(Value); }

protected:
    void AssignTo(TPersistent& Dest) const override;
    // Sets header AName to AValue when AValue is not empty.
    void SetHeaderIfNotEmpty(const std::string& AName, const std::string& AValue);

private:
    TPersistent* FOwner;
    std::string FCacheControl;
    TIdHeaderList FRawHeaders{QuoteHTTP};
    std::string FCharSet;
    std::string FConnection;
    std::string FContentDisposition;
    std::string FContentEncoding;
    std::string FContentLanguage;
    int64_t FContentLength = -1;
    int64_t FContentRangeEnd = -1;
    int64_t FContentRangeStart = -1;
    int64_t FContentRangeInstanceLength = -1;
    std::string FContentRangeUnits;
    std::string FContentType;
    std::string FContentVersion;
    TIdHeaderList FCustomHeaders{QuoteHTTP};
    TDateTime FDate = 0;
    TDateTime FExpires = 0;
    std::string FETag;
    TDateTime FLastModified = 0;
    std::string FPragma;
    bool FHasContentLength = false;
    std::string FTransferEncoding;
};

class TIdProxyConnectionInfo : public TPersistent {
public:
    TIdProxyConnectionInfo() = default;
    TIdProxyConnectionInfo(const TIdProxyConnectionInfo&) = delete;
    TIdProxyConnectionInfo& operator=(const TIdProxyConnectionInfo&) = delete;

    // Empties server, user name and password; the port becomes 0.
    void Clear();
    // Sets "Proxy-Authorization" in AHeaders from the authentication object,
    // or, with BasicAuthentication, from a Basic object made of the proxy
    // user name and password (and kept).
    void SetHeaders(TIdHeaderList& AHeaders);

    TIdAuthentication* Authentication() const { return FAuthentication.get(); }
    void SetAuthentication(std::unique_ptr<TIdAuthentication> Value) { FAuthentication = std::move(Value); }
    bool BasicAuthentication() const { return FBasicByDefault; }
    void SetBasicAuthentication(bool Value) { FBasicByDefault = Value; }
    const std::string& ProxyPassword() const { return FPassword; }
    void SetProxyPassword(std::string Value) { FPassword = std::move(Value); }
    int ProxyPort() const { return FPort; }
    // Another proxy (server compared without case) drops the authentication.
    void SetProxyPort(int Value);
    const std::string& ProxyServer() const { return FServer; }
    void SetProxyServer(const std::string& Value);
    const std::string& ProxyUsername() const { return FUsername; }
    void SetProxyUsername(std::string Value) { FUsername = std::move(Value); }

protected:
    // Copies the settings, not the authentication object.
    void AssignTo(TPersistent& Dest) const override;

private:
    std::unique_ptr<TIdAuthentication> FAuthentication;
    std::string FPassword;
    int FPort = 0;
    std::string FServer;
    std::string FUsername;
    bool FBasicByDefault = false;
};

// One range of a Range header: "500-999", "500-" or the suffix "-500".
// -1 marks an absent number.
class TIdEntityRange : public TPersistent {
public:
    int64_t StartPos() const { return FStartPos; }
    void SetStartPos(int64_t Value) { FStartPos = Value; }
    int64_t EndPos() const { return FEndPos; }
    void SetEndPos(int64_t Value) { FEndPos = Value; }
    int64_t SuffixLength() const { return FSuffixLength; }
    void SetSuffixLength(int64_t Value) { FSuffixLength = Value; }
    std::string Text() const;
    void SetText(const std::string& Value);

protected:
    void AssignTo(TPersistent& Dest) const override;

private:
    int64_t FStartPos = -1;
    int64_t FEndPos = -1;
    int64_t FSuffixLength = -1;
};

// The value of a Range header: "bytes=0-499,-500".
class TIdEntityRanges : public TPersistent {
public:
    int Count() const { return static_cast<int>(FRanges.size()); }
    // Raises EListError outside 0..Count()-1.
    TIdEntityRange& Ranges(int AIndex);
    const TIdEntityRange& Ranges(int AIndex) const;
    TIdEntityRange& Add();
    void Clear() { FRanges.clear(); }
    const std::string& Units() const { return FUnits; }
    void SetUnits(std::string Value) { FUnits = std::move(Value); }
    // Empty when no range has a text.
    std::string Text() const;
    void SetText(const std::string& Value);

protected:
    void AssignTo(TPersistent& Dest) const override;

private:
    std::vector<std::unique_ptr<TIdEntityRange>> FRanges;
    std::string FUnits = "bytes";
};

class TIdRequestHeaderInfo : public TIdEntityHeaderInfo {
public:
    explicit TIdRequestHeaderInfo(TPersistent* AOwner);

    void Clear() override;
    void SetHeaders() override;
    void ParseRawHeaders() override;

    const std::string& Accept() const { return FAccept; }
    void SetAccept(std::string Value) { FAccept = std::move(Value); }
    const std::string& AcceptCharSet() const { return FAcceptCharSet; }
    void SetAcceptCharSet(std::string Value) { FAcceptCharSet = std::move(Value); }
    const std::string& AcceptEncoding() const { return FAcceptEncoding; }
    void SetAcceptEncoding(std::string Value) { FAcceptEncoding = std::move(Value); }
    const std::string& AcceptLanguage() const { return FAcceptLanguage; }
    void SetAcceptLanguage(std::string Value) { FAcceptLanguage = std::move(Value); }
    const std::string& Expect() const { return FExpect; }
    void SetExpect(std::string Value) { FExpect = std::move(Value); }
    const std::string& From() const { return FFrom; }
    void SetFrom(std::string Value) { FFrom = std::move(Value); }
    const std::string& Password() const { return FPassword; }
    void SetPassword(std::string Value) { FPassword = std::move(Value); }
    const std::string& Referer() const { return FReferer; }
    void SetReferer(std::string Value) { FReferer = std::move(Value); }
    const std::string& UserAgent() const { return FUserAgent; }
    void SetUserAgent(std::string Value) { FUserAgent = std::move(Value); }
    const std::string& Username() const { return FUserName; }
    void SetUsername(std::string Value) { FUserName = std::move(Value); }
    const std::string& Host() const { return FHost; }
    void SetHost(std::string Value) { FHost = std::move(Value); }
    const std::string& ProxyConnection() const { return FProxyConnection; }
    void SetProxyConnection(std::string Value) { FProxyConnection = std::move(Value); }
    TIdEntityRanges& Ranges() { return FRanges; }
    const TIdEntityRanges& Ranges() const { return FRanges; }
    void SetRanges(const TIdEntityRanges& Value) { FRanges.Assign(Value); }
    std::string Range() const { return FRanges.Text(); }
    void SetRange(const std::string& Value) { FRanges.SetText(Value); }
    bool BasicAuthentication() const { return FBasicByDefault; }
    void SetBasicAuthentication(bool Value) { FBasicByDefault = Value; }
    TIdAuthentication* Authentication() const { return FAuthentication.get(); }
    void SetAuthentication(std::unique_ptr<TIdAuthentication> Value) { FAuthentication = std::move(Value); }
    const std::string& MethodOverride() const { return FMethodOverride; }
    void SetMethodOverride(std::string Value) { FMethodOverride = std::move(Value); }

protected:
    void AssignTo(TPersistent& Dest) const override;

private:
    std::string FAccept;
    std::string FAcceptCharSet;
    std::string FAcceptEncoding;
    std::string FAcceptLanguage;
    std::string FExpect;
    std::string FFrom;
    std::string FPassword;
    std::string FReferer;
    std::string FUserAgent;
    std::string FUserName;
    std::string FHost;
    std::string FProxyConnection;
    TIdEntityRanges FRanges;
    bool FBasicByDefault = false;
    std::unique_ptr<TIdAuthentication> FAuthentication;
    std::string FMethodOverride;
};

class TIdResponseHeaderInfo : public TIdEntityHeaderInfo {
public:
    explicit TIdResponseHeaderInfo(TPersistent* AOwner);

    void Clear() override;
    void SetHeaders() override;
    void ParseRawHeaders() override;

    const std::string& AcceptPatch() const { return FAcceptPatch; }
    void SetAcceptPatch(std::string Value) { FAcceptPatch = std::move(Value); }
    const std::string& AcceptRanges() const { return FAcceptRanges; }
    void SetAcceptRanges(std::string Value) { FAcceptRanges = std::move(Value); }
    const std::string& Location() const { return FLocation; }
    void SetLocation(std::string Value) { FLocation = std::move(Value); }
    const std::string& Server() const { return FServer; }
    void SetServer(std::string Value) { FServer = std::move(Value); }
    const std::string& ProxyConnection() const { return FProxyConnection; }
    void SetProxyConnection(std::string Value) { FProxyConnection = std::move(Value); }
    // One line per challenge.
    TIdHeaderList& ProxyAuthenticate() { return FProxyAuthenticate; }
    const TIdHeaderList& ProxyAuthenticate() const { return FProxyAuthenticate; }
    void SetProxyAuthenticate(const TIdHeaderList& Value) { FProxyAuthenticate.Assign(Value); }
    TIdHeaderList& WWWAuthenticate() { return FWWWAuthenticate; }
    const TIdHeaderList& WWWAuthenticate() const { return FWWWAuthenticate; }
    void SetWWWAuthenticate(const TIdHeaderList& Value) { FWWWAuthenticate.Assign(Value); }

protected:
    void AssignTo(TPersistent& Dest) const override;

private:
    std::string FAcceptPatch;
    std::string FAcceptRanges;
    std::string FLocation;
    std::string FServer;
    std::string FProxyConnection;
    TIdHeaderList FProxyAuthenticate{QuoteHTTP};
    TIdHeaderList FWWWAuthenticate{QuoteHTTP};
};

// The headers an HTML page declares for itself in <meta http-equiv> elements.
class TIdMetaHTTPEquiv : public TIdEntityHeaderInfo {
public:
    using TIdEntityHeaderInfo::TIdEntityHeaderInfo;

    // Scans the <head> of the HTML in AStream (read from offset 0 as 8-bit
    // text) and fills this record from its meta elements.
    void ProcessMetaHTTPEquiv(TStream& AStream);
};
