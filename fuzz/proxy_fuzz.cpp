// A proxy's answers to the negotiation of a tunnel: SOCKS 4, 4A and 5 (with
// and without a login) and HTTP CONNECT (with a login on 407), over the
// in-memory transport. The first two bytes choose the proxy kind and how the
// peer's bytes are cut into receives; the rest is what the proxy answers,
// one answer after another separated by "\0next\0".
//
// The library's exceptions are answers; a crash, a sanitizer report, any
// other exception or a hang is a finding.
#include <cstdint>
#include <string_view>

#include "fuzz/FuzzSupport.h"
#include "net/kbvIdConnectThroughHttpProxy.h"
#include "net/kbvIdSocks.h"
#include "tests/net/support/MemoryIOHandler.h"

namespace {

constexpr std::string_view NextMark{"\0next\0", 6};

void AddAnswers(TIdIOHandlerMemory& APeer, std::string_view AScript) {
    for (size_t Next; (Next = AScript.find(NextMark)) != std::string_view::npos;) {
        APeer.AddReply(AScript.substr(0, Next));
        AScript.remove_prefix(Next + NextMark.size());
    }
    APeer.AddReply(AScript);
}

TIdCustomTransparentProxy* MakeProxy(TComponent* AOwner, uint8_t AKind) {
    if (AKind % 6 >= 4) {
        auto* Proxy = new TIdConnectThroughHttpProxy(AOwner);
        Proxy->SetEnabled(true);
        if (AKind % 6 == 5) {
            Proxy->SetUsername("user");
            Proxy->SetPassword("secret");
        }
        return Proxy;
    }
    auto* Proxy = new TIdSocksInfo(AOwner);
    static constexpr TSocksVersion Versions[] = {svSocks4, svSocks4A, svSocks5, svSocks5};
    Proxy->SetVersion(Versions[AKind % 6]);
    if (AKind % 6 == 3) {
        Proxy->SetAuthentication(saUsernamePassword);
        Proxy->SetUsername("user");
        Proxy->SetPassword("secret");
    }
    return Proxy;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    if (ASize < 2)
        return 0;
    TIdIOHandlerMemory Peer;
    Peer.SetKeepWritten(false);
    Peer.SetReceiveLimit(AData[1]);
    AddAnswers(Peer, std::string_view(reinterpret_cast<const char*>(AData) + 2, ASize - 2));
    TComponent Owner(nullptr);
    TIdCustomTransparentProxy* Proxy = MakeProxy(&Owner, AData[0]);
    // Targets of every kind a request can carry: a name, IPv4, IPv6. SOCKS 4
    // would resolve a name itself, so it gets addresses only.
    static constexpr const char* Targets[] = {"10.0.0.1", "::1", "fuzz.example"};
    const bool Socks4 = AData[0] % 6 == 0;
    const char* Target = Targets[(AData[0] / 6) % (Socks4 ? 2 : 3)];
    Try([&] {
        Peer.Open();
        Proxy->Connect(&Peer, Target, 443, Id_IPv4);
        Peer.InputBufferAsString();  // what the target would read first
    });
    return 0;
}
