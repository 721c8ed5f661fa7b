// HTTP authentication: the base every scheme derives from, the process-wide
// registry of schemes, Basic, and the reading of challenge parameters.
//
// The exchange picks a scheme's class from the first word of a challenge
// (WWW-Authenticate or Proxy-Authenticate), creates one object, gives it the
// credentials and the challenge lines, and drives it with Next; whenever
// Authentication is not empty it goes out as the Authorization (or
// Proxy-Authorization) value.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "core/Persistent.h"
#include "core/StringList.h"
#include "http/kbvIdHeaderList.h"
#include "net/kbvIdGlobal.h"

class TStream;

enum TIdAuthWhatsNext {
    wnAskTheProgram,  // credentials are needed from the application
    wnDoRequest,      // send the request again with the new header
    wnFail
};

class TIdAuthentication;
// A scheme's class: its factory. The registry and the exchange's selection events pass these.
using TIdAuthenticationClass = std::unique_ptr<TIdAuthentication> (*)();

class TIdAuthentication : public TPersistent {
public:
    TIdAuthentication();
    ~TIdAuthentication() override;
    TIdAuthentication(const TIdAuthentication&) = delete;
    TIdAuthentication& operator=(const TIdAuthentication&) = delete;

    // The header value for the current step; "" sends none.
    virtual std::string Authentication() = 0;
    // Whether the handshake needs the connection kept open between steps.
    virtual bool KeepAlive() const;
    // The class's decision after a challenge: call it once the object holds
    // the credentials and the challenge lines.
    TIdAuthWhatsNext Next();
    // Back to step 0.
    virtual void Reset();
    // Told before each request is written. ABody is the request body (null:
    // none); Digest reads it from its start for auth-int and leaves it at the
    // position it had.
    virtual void SetRequest(const std::string& AMethod, const std::string& AUri, TStream* ABody);
    virtual int Steps() const = 0;
    int CurrentStep() const { return FCurrentStep; }

    // The object's own values: "Username", "Password", "Authorization", "Domain".
    TIdHeaderList& Params() { return FParams; }
    const TIdHeaderList& Params() const { return FParams; }
    // The challenge lines, one WWW-Authenticate (or Proxy-Authenticate) value each.
    TIdHeaderList& AuthParams() { return FAuthParams; }
    const TIdHeaderList& AuthParams() const { return FAuthParams; }
    void SetAuthParams(const TIdHeaderList& AValue);

    // Exactly as set: no trimming, so blanks at either end of a password count.
    std::string Username() const;
    virtual void SetUsername(const std::string& AValue);
    std::string Password() const;
    virtual void SetPassword(const std::string& AValue);
    // The charset of the credentials, read from the challenge: Basic converts
    // them in it (empty: as 8-bit characters), Digest takes UTF-8 when named
    // and the library's default encoding otherwise.
    const std::string& Charset() const { return FCharset; }
    void SetCharset(const std::string& AValue) { FCharset = AValue; }

protected:
    virtual TIdAuthWhatsNext DoNext() = 0;
    // The first challenge line whose first word is AScheme (without case); "" when none.
    std::string FindChallengeLine(const std::string& AScheme) const;
    // The value stored under AName in Params, unfolded and untrimmed.
    std::string ParamValue(const std::string& AName) const;

    int FCurrentStep = 0;
    TIdHeaderList FParams{QuoteHTTP};
    TIdHeaderList FAuthParams{QuoteHTTP};
    std::string FCharset;
};

// ---------------------------------------------------------------------------
// The scheme registry: names compared without case, in registration order.
// It holds "Basic", "NTLM" and "Digest" from its first use on; every call is
// safe from any thread.

// Adds the pair, or replaces the class of a name already there.
void RegisterAuthScheme(const std::string& AName, TIdAuthenticationClass AClass);
void UnregisterAuthScheme(const std::string& AName);
// The class for AName; nullptr when none.
TIdAuthenticationClass FindAuthSchemeClass(const std::string& AName);
// The registered names, in order, appended to VNames.
void GetRegisteredAuthSchemes(TStringList& VNames);

// ---------------------------------------------------------------------------
// Challenge parameters

// The auth-params of one challenge line, after its first word (the scheme),
// as "name=value" lines of VParams in order: a quoted value is unescaped and
// whatever follows it up to the next comma is dropped; an unquoted one runs
// to the next comma and is trimmed. An unterminated quote runs to the end.
// Reading stops at a part without "=" (a token68 such as Basic's).
void ParseAuthChallenge(std::string_view AChallenge, TStringList& VParams);

// Base64 without line breaks, as an Authorization value carries it.
std::string AuthBase64Encode(const TIdBytes& ABytes);
// Strict standard base64: the alphabet only, "=" padding only at the end
// (it may be missing); false for anything else.
bool AuthBase64Decode(std::string_view AText, TIdBytes& VBytes);

// ---------------------------------------------------------------------------
// Basic (RFC 7617). Works without any challenge: the exchange may send it
// before the server asks.

class TIdBasicAuthentication : public TIdAuthentication {
public:
    static std::unique_ptr<TIdAuthentication> Create();

    // "Basic " and the base64 of "user:password" in the charset.
    std::string Authentication() override;
    int Steps() const override { return 1; }
    const std::string& Realm() const { return FRealm; }
    void SetRealm(const std::string& AValue) { FRealm = AValue; }

protected:
    // Reads realm and charset from the challenge; asks the program for a
    // user name when there is none; a second answer fails.
    TIdAuthWhatsNext DoNext() override;

private:
    std::string FRealm;
};
