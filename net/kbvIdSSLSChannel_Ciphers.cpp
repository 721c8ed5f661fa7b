// The names a cipher list may hold, and the protocol versions a TLS version
// choice enables.
#include <utility>

#include "core/Text.h"
#include "net/kbvIdSSLSChannel_State.h"

using namespace kbvSSPI;

namespace {

// The provider's algorithm names, without their "CALG_" prefix; only those
// the library beneath has a counterpart for.
constexpr std::pair<const char*, ALG_ID> Algorithms[] = {
    {"AES_128", CALG_AES_128},       {"AES_256", CALG_AES_256}, {"AES", CALG_AES},
    {"3DES", CALG_3DES},             {"SHA1", CALG_SHA1},       {"SHA", CALG_SHA1},
    {"SHA_256", CALG_SHA_256},       {"SHA_384", CALG_SHA_384}, {"RSA_KEYX", CALG_RSA_KEYX},
    {"DH_EPHEM", CALG_DH_EPHEM},     {"ECDH", CALG_ECDH},       {"ECDH_EPHEM", CALG_ECDH_EPHEM},
};

}  // namespace

uint32_t SChannelAlgorithmOfName(const std::string& AName) {
    std::string Name = UpperCase(Trim(AName));
    if (Name.starts_with("CALG_"))
        Name.erase(0, 5);
    for (const auto& [Known, Id] : Algorithms)
        if (Name == Known)
            return Id;
    return 0;
}

std::vector<ALG_ID> SChannelAlgorithmsOf(const std::string& ACipherList) {
    std::vector<ALG_ID> Result;
    size_t Start = 0;
    while (Start <= ACipherList.size()) {
        size_t End = ACipherList.find(':', Start);
        if (End == std::string::npos)
            End = ACipherList.size();
        if (const ALG_ID Id = SChannelAlgorithmOfName(ACipherList.substr(Start, End - Start)))
            Result.push_back(Id);
        Start = End + 1;
    }
    return Result;
}
