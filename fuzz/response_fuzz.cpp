// Whole HTTP responses read by TIdHTTP through the in-memory transport: the
// status line, headers, interim responses, bodies by every framing, content
// codings through the zlib compressor, redirects, a second response on the
// same connection, and a proxy's answer to CONNECT. The first three bytes choose the client's options, how
// the peer's bytes are cut into receives, and a failing read or write; the
// rest is what the peer answers: replies to one request after another,
// separated by "\0keep\0" (the peer keeps the connection open after the
// reply before it) or "\0close\0" (it closes it).
//
// The library's exceptions (Exception and below) are answers; a crash, a
// sanitizer report, any other exception or a hang is a finding.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/Streams.h"
#include "http/kbvIdHTTP.h"
#include "http/kbvIdZLibCompressor.h"
#include "tests/net/support/MemoryIOHandler.h"

namespace {

constexpr const char* URL = "http://fuzz.example/v1/models?limit=2";
constexpr std::string_view KeepOpenMark{"\0keep\0", 6};
constexpr std::string_view CloseMark{"\0close\0", 7};

void AddReplies(TIdIOHandlerMemory& APeer, std::string_view AScript) {
    for (;;) {
        const size_t KeepOpen = AScript.find(KeepOpenMark);
        const size_t Close = AScript.find(CloseMark);
        if (KeepOpen == Close) {  // neither
            APeer.AddReply(AScript);
            return;
        }
        const bool Closes = Close < KeepOpen;
        APeer.AddReply(AScript.substr(0, std::min(KeepOpen, Close)),
                       Closes ? TIdIOHandlerMemory::arClose : TIdIOHandlerMemory::arKeepOpen);
        AScript.remove_prefix(Closes ? Close + CloseMark.size() : KeepOpen + KeepOpenMark.size());
    }
}

struct TVariant {
    bool Redirects;
    bool Compressor;
    TIdHTTPOptions Options;
    enum { GetIntoStream, GetAsText, Head, TwoGets, ThroughProxyTunnel } Calls;
};

TVariant VariantOf(uint8_t AByte) {
    TVariant Variant{(AByte & 1) != 0, (AByte & 2) != 0, {hoForceEncodeParams}, TVariant::GetIntoStream};
    if (AByte & 4)
        Variant.Options.Include(hoNoReadChunked);
    if (AByte & 8)
        Variant.Options.Include(hoWantProtocolErrorContent);
    if (AByte & 16)
        Variant.Options.Include(hoNoProtocolErrorException);
    switch (AByte >> 5) {
        case 0: case 1: case 2: Variant.Calls = TVariant::GetIntoStream; break;
        case 3: case 4: Variant.Calls = TVariant::GetAsText; break;
        case 5: Variant.Calls = TVariant::Head; break;
        case 6: Variant.Calls = TVariant::TwoGets; break;
        default:
            Variant.Calls = TVariant::ThroughProxyTunnel;
            Variant.Options.Include(hoNonSSLProxyUseConnectVerb);
            break;
    }
    return Variant;
}

// Bounds that keep one input to milliseconds: a small body bound (a
// compressed body may expand a thousandfold), few redirects.
void Bound(TIdHTTP& AHTTP) {
    AHTTP.SetRedirectMaximum(3);
    AHTTP.SetMaxBodySize(1 << 20);
}

void RunCalls(TIdHTTP& AHTTP, const TVariant& AVariant) {
    TMemoryStream Body;
    switch (AVariant.Calls) {
        case TVariant::GetIntoStream:
        case TVariant::ThroughProxyTunnel: AHTTP.Get(URL, &Body); break;
        case TVariant::GetAsText: AHTTP.Get(URL); break;
        case TVariant::Head: AHTTP.Head(URL); break;
        case TVariant::TwoGets:
            AHTTP.Get(URL, &Body);
            Body.Clear();
            AHTTP.Get(URL, &Body);
            break;
    }
    // What a caller looks at afterwards.
    AHTTP.ResponseCode();
    AHTTP.Response().KeepAlive();
    AHTTP.ResponseTextCharset();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    if (ASize < 3)
        return 0;
    const TVariant Variant = VariantOf(AData[0]);
    TIdIOHandlerMemory Peer;
    Peer.SetKeepWritten(false);
    Peer.SetReceiveLimit(AData[1]);
    if (AData[2] >= 0xF0)
        Peer.SetFailingWrite(AData[2] - 0xEF);
    else if (AData[2] >= 0xE0)
        Peer.SetFailingRead(AData[2] - 0xDF);
    AddReplies(Peer, std::string_view(reinterpret_cast<const char*>(AData) + 3, ASize - 3));

    TIdZLibCompressor Compressor;
    TIdHTTP HTTP;
    HTTP.SetIOHandler(&Peer);
    HTTP.SetHandleRedirects(Variant.Redirects);
    HTTP.SetHTTPOptions(Variant.Options);
    if (Variant.Compressor)
        HTTP.SetCompressor(&Compressor);
    if (Variant.Calls == TVariant::ThroughProxyTunnel) {
        HTTP.ProxyParams().SetProxyServer("proxy.example");
        HTTP.ProxyParams().SetProxyPort(3128);
    }
    Bound(HTTP);
    try {
        RunCalls(HTTP, Variant);
    } catch (const Exception&) {
        // An answer of the library: a protocol error, a bad response, a reset.
    }
    return 0;
}
