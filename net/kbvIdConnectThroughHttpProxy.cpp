#include "net/kbvIdConnectThroughHttpProxy.h"

#include <openssl/evp.h>

#include <charconv>

#include "core/Format.h"
#include "core/Text.h"
#include "net/kbvIdIOHandler.h"
#include "net/kbvIdStack.h"

namespace {

// A proxy's answer may not make the client wait for ever or keep much.
constexpr int MaxHeaderLines = 255;
constexpr int64_t MaxDiscardedBody = 64 * 1024;

std::string Base64(const std::string& AText) {
    std::string Result(4 * ((AText.size() + 2) / 3) + 1, '\0');
    const int Length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(Result.data()),
                                       reinterpret_cast<const unsigned char*>(AText.data()),
                                       static_cast<int>(AText.size()));
    Result.resize(static_cast<size_t>(Length));
    return Result;
}

// "HTTP/x.y NNN ...": the code, or -1 for anything else.
int StatusCodeOf(std::string_view ALine) {
    if (!ALine.starts_with("HTTP/"))
        return -1;
    const auto Space = ALine.find(' ');
    if (Space == std::string_view::npos)
        return -1;
    const std::string_view Code = ALine.substr(Space + 1, 3);
    int Value = 0;
    auto [End, Error] = std::from_chars(Code.data(), Code.data() + Code.size(), Value);
    const bool Ended = Space + 4 >= ALine.size() || ALine[Space + 4] == ' ';
    return Error == std::errc() && End == Code.data() + 3 && Ended ? Value : -1;
}

// The value of a header line "Name: value" when its name is AName.
bool HeaderValue(const std::string& ALine, std::string_view AName, std::string& VValue) {
    const auto Colon = ALine.find(':');
    if (Colon == std::string::npos || !TextIsSame(Trim(std::string_view(ALine).substr(0, Colon)), AName))
        return false;
    VValue = std::string(Trim(std::string_view(ALine).substr(Colon + 1)));
    return true;
}

}  // namespace

TIdCustomTransparentProxy* TIdConnectThroughHttpProxy::NewLike(TComponent* AOwner) const {
    auto* Result = new TIdConnectThroughHttpProxy(AOwner);
    Result->Assign(*this);
    return Result;
}

void TIdConnectThroughHttpProxy::Assign(const TPersistent& ASource) {
    TIdCustomTransparentProxy::Assign(ASource);
    if (const auto* Source = dynamic_cast<const TIdConnectThroughHttpProxy*>(&ASource))
        FEnabled = Source->FEnabled;
}

void TIdConnectThroughHttpProxy::OpenTunnel(TIdIOHandler* AIOHandler, const std::string& AHost, uint16_t APort,
                                            TIdIPVersion) {
    MakeConnectRequest(AIOHandler, AHost, APort, FAuthorizationRequired);
}

void TIdConnectThroughHttpProxy::MakeConnectRequest(TIdIOHandler* AIOHandler, const std::string& AHost,
                                                    uint16_t APort, bool ALogin) {
    if (AHost.find_first_of(std::string("\r\n \t\0", 5)) != std::string::npos)
        throw EIdHttpProxyError(Format("The host \"%s\" cannot go into a CONNECT line", AHost.c_str()));
    // RFC 9110: an IPv6 address in an authority is written in brackets.
    const std::string Authority = TIdStack::IsValidIPv6(AHost) ? "[" + AHost + "]" : AHost;
    std::string Request = Format("CONNECT %s:%d HTTP/1.0\r\n", Authority.c_str(), static_cast<int>(APort));
    if (ALogin)
        Request += "Proxy-Authorization: Basic " + Base64(FUsername + ":" + FPassword) + "\r\n";
    Request += "\r\n";
    AIOHandler->Write(Request);

    // Anything but an HTTP status line is no tunnel: taking it for one would
    // send the request, and its credentials, to whatever answered.
    const std::string StatusLine = AIOHandler->ReadLn();
    if (AIOHandler->ReadLnTimedout())
        throw EIdReadTimeout();
    const int Code = StatusCodeOf(StatusLine);
    if (Code < 0)
        throw EIdHttpProxyError(StatusLine.empty() ? "The proxy answered CONNECT with an empty line" : StatusLine);

    int64_t ContentLength = 0;
    bool CloseAfter = false;
    for (int Lines = 0;; ++Lines) {
        const std::string Line = AIOHandler->ReadLn();
        if (AIOHandler->ReadLnTimedout())
            throw EIdReadTimeout();
        if (Line.empty())
            break;
        if (Lines >= MaxHeaderLines)
            throw EIdHttpProxyError(Format("The proxy's answer to CONNECT has more than %d header lines", MaxHeaderLines));
        std::string Value;
        if (HeaderValue(Line, "Content-Length", Value)) {
            auto [End, Error] = std::from_chars(Value.data(), Value.data() + Value.size(), ContentLength);
            if (Error != std::errc() || End != Value.data() + Value.size() || ContentLength < 0)
                throw EIdHttpProxyError(Format("The proxy's answer to CONNECT has a bad Content-Length: %s", Value.c_str()));
        } else if ((HeaderValue(Line, "Proxy-Connection", Value) || HeaderValue(Line, "Connection", Value)) &&
                   TextIsSame(Value, "close")) {
            CloseAfter = true;
        }
    }
    // A 2xx answer opens the tunnel at once: what follows is the target's.
    if (Code / 100 != 2 && ContentLength > 0) {
        if (ContentLength > MaxDiscardedBody)
            throw EIdHttpProxyError(StatusLine);  // not worth reading to stay on this connection
        AIOHandler->Discard(ContentLength);
    }

    if (Code == 407 && !ALogin && (!FUsername.empty() || !FPassword.empty())) {
        if (!CloseAfter) {
            MakeConnectRequest(AIOHandler, AHost, APort, true);
            return;
        }
        // The proxy closes: a new connection through the whole chain, which
        // comes back here with the credentials.
        AIOHandler->Close();
        FAuthorizationRequired = true;
        try {
            AIOHandler->Open();
        } catch (...) {
            FAuthorizationRequired = false;
            throw;
        }
        FAuthorizationRequired = false;
        return;
    }
    if (Code != 200)
        throw EIdHttpProxyError(StatusLine);
}
