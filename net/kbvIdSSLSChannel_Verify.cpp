// The server's certificate, checked after the handshake when asked for:
// its chain against the system's trust store and the "Root" store folders
// (a chain ending in an untrusted root may still pass a trust checker), its
// use for server authentication, and its names against the host.
#include <arpa/inet.h>
#include <gnutls/x509.h>

#include <algorithm>
#include <map>
#include <mutex>

#include "core/Format.h"
#include "core/Text.h"
#include "net/kbvIdCertStore.h"
#include "net/kbvIdSSLSChannel_State.h"

using namespace kbvSSPI;

namespace {

// The usages a server certificate may name: server authentication, and the
// two server-gated-cryptography identifiers.
constexpr const char* ServerUsages[] = {"1.3.6.1.5.5.7.3.1", "1.3.6.1.4.1.311.10.3.3", "2.16.840.1.113730.4.1",
                                        "2.5.29.37.0"};

std::mutex CheckersLock;
std::map<int, TkbvSChannelTrustChecker> Checkers;
int NextCheckerKey = 1;

class TCertList {
public:
    explicit TCertList(const std::vector<TIdBytes>& ADers) {
        for (const TIdBytes& Der : ADers) {
            gnutls_x509_crt_t Cert = nullptr;
            const gnutls_datum_t Data{const_cast<uint8_t*>(Der.data()), static_cast<unsigned>(Der.size())};
            if (gnutls_x509_crt_init(&Cert) < 0)
                continue;
            if (gnutls_x509_crt_import(Cert, &Data, GNUTLS_X509_FMT_DER) < 0) {
                gnutls_x509_crt_deinit(Cert);
                continue;
            }
            FCerts.push_back(Cert);
        }
    }
    ~TCertList() {
        for (gnutls_x509_crt_t Cert : FCerts)
            gnutls_x509_crt_deinit(Cert);
    }
    TCertList(const TCertList&) = delete;
    TCertList& operator=(const TCertList&) = delete;
    std::vector<gnutls_x509_crt_t>& Certs() { return FCerts; }

private:
    std::vector<gnutls_x509_crt_t> FCerts;
};

// The system's trust store, read once.
gnutls_x509_trust_list_t SystemTrust() {
    static gnutls_x509_trust_list_t List = [] {
        gnutls_x509_trust_list_t Result = nullptr;
        gnutls_x509_trust_list_init(&Result, 0);
        gnutls_x509_trust_list_add_system_trust(Result, 0, 0);
        return Result;
    }();
    return List;
}

unsigned VerifyWith(gnutls_x509_trust_list_t AList, std::vector<gnutls_x509_crt_t>& AChain) {
    unsigned Status = GNUTLS_CERT_INVALID;
    if (gnutls_x509_trust_list_verify_crt2(AList, AChain.data(), static_cast<unsigned>(AChain.size()), nullptr, 0, 0,
                                           &Status, nullptr) < 0)
        return GNUTLS_CERT_INVALID | GNUTLS_CERT_SIGNER_NOT_FOUND;
    return Status;
}

// The chain's verdict from the system's store, else from the "Root" folders.
unsigned VerifyChain(std::vector<gnutls_x509_crt_t>& AChain) {
    const unsigned System = VerifyWith(SystemTrust(), AChain);
    if (!(System & GNUTLS_CERT_SIGNER_NOT_FOUND))
        return System;
    std::vector<TIdBytes> RootDers;
    for (const TkbvStoreCertificate& Root : CertificatesOfStores(scsnRoot))
        RootDers.push_back(Root.Der);
    if (RootDers.empty())
        return System;
    TCertList Roots(RootDers);
    gnutls_x509_trust_list_t List = nullptr;
    gnutls_x509_trust_list_init(&List, 0);
    // The list takes the certificates over.
    gnutls_x509_trust_list_add_cas(List, Roots.Certs().data(), static_cast<unsigned>(Roots.Certs().size()),
                                   GNUTLS_TL_NO_DUPLICATES);
    const unsigned Folders = VerifyWith(List, AChain);
    gnutls_x509_trust_list_deinit(List, 1);
    Roots.Certs().clear();
    return Folders;
}

SECURITY_STATUS ChainStatus(unsigned AVerdict, gnutls_x509_crt_t ALast, std::string& VReason) {
    if (AVerdict == 0)
        return SEC_E_OK;
    if (AVerdict & GNUTLS_CERT_SIGNER_NOT_FOUND) {
        if (gnutls_x509_crt_check_issuer(ALast, ALast)) {
            VReason = "The chain ends in a root certificate that is not trusted";
            return CERT_E_UNTRUSTEDROOT;
        }
        VReason = "No chain to a trusted root certificate could be built";
        return CERT_E_CHAINING;
    }
    if (AVerdict & (GNUTLS_CERT_SIGNATURE_FAILURE | GNUTLS_CERT_INSECURE_ALGORITHM)) {
        VReason = "A signature in the chain is not valid or too weak";
        return TRUST_E_CERT_SIGNATURE;
    }
    if (AVerdict & GNUTLS_CERT_REVOKED) {
        VReason = "A certificate of the chain is revoked";
        return CERT_E_REVOKED;
    }
    if (AVerdict & (GNUTLS_CERT_EXPIRED | GNUTLS_CERT_NOT_ACTIVATED)) {
        VReason = "A certificate of the chain has expired or is not yet valid";
        return CERT_E_EXPIRED;
    }
    if (AVerdict & (GNUTLS_CERT_SIGNER_NOT_CA | GNUTLS_CERT_SIGNER_CONSTRAINTS_FAILURE)) {
        VReason = "A certificate of the chain may not issue the one below it";
        return CERT_E_ROLE;
    }
    VReason = "The chain is not valid";
    return CERT_E_CHAINING;
}

bool ForServers(gnutls_x509_crt_t ACert) {
    for (unsigned Index = 0;; ++Index) {
        char Oid[128];
        size_t Size = sizeof Oid;
        if (gnutls_x509_crt_get_key_purpose_oid(ACert, Index, Oid, &Size, nullptr) < 0)
            return Index == 0;  // no usage list allows every use
        if (std::any_of(std::begin(ServerUsages), std::end(ServerUsages),
                        [&](const char* AUsage) { return std::string(Oid) == AUsage; }))
            return true;
    }
}

// The address's bytes (4 or 16), empty for a name.
TIdBytes AddressBytes(const std::string& AHost) {
    TIdBytes Bytes(16);
    if (inet_pton(AF_INET, AHost.c_str(), Bytes.data()) == 1) {
        Bytes.resize(4);
        return Bytes;
    }
    if (inet_pton(AF_INET6, AHost.c_str(), Bytes.data()) == 1)
        return Bytes;
    return {};
}

// Addresses only against address entries; names against the DNS entries,
// or the common names when there are none.
bool NamesHost(gnutls_x509_crt_t ACert, const std::string& AHost) {
    const TIdBytes Address = AddressBytes(AHost);
    bool HadDNS = false;
    for (unsigned Index = 0;; ++Index) {
        char Name[1024];
        size_t Size = sizeof Name;
        const int Type = gnutls_x509_crt_get_subject_alt_name(ACert, Index, Name, &Size, nullptr);
        if (Type == GNUTLS_E_REQUESTED_DATA_NOT_AVAILABLE)
            break;
        if (Type == GNUTLS_SAN_IPADDRESS && !Address.empty() &&
            TIdBytes(Name, Name + std::min(Size, sizeof Name)) == Address)
            return true;
        if (Type == GNUTLS_SAN_DNSNAME) {
            HadDNS = true;
            if (Address.empty() && CertificateNameMatches(std::string(Name, std::min(Size, sizeof Name)), AHost))
                return true;
        }
    }
    if (HadDNS || !Address.empty())
        return false;
    for (unsigned Index = 0;; ++Index) {
        char Name[1024];
        size_t Size = sizeof Name;
        if (gnutls_x509_crt_get_dn_by_oid(ACert, GNUTLS_OID_X520_COMMON_NAME, Index, 0, Name, &Size) < 0)
            return false;
        if (CertificateNameMatches(std::string(Name, Size), AHost))
            return true;
    }
}

bool TrustedAnyway(const std::vector<TIdBytes>& AChain, const std::string& AHost) {
    // A certificate of the chain pinned in a "Trust" folder.
    for (const TkbvStoreCertificate& Pinned : CertificatesOfStores(scsnTrust))
        if (std::find(AChain.begin(), AChain.end(), Pinned.Der) != AChain.end())
            return true;
    std::vector<TkbvSChannelTrustChecker> Registered;
    {
        std::lock_guard Guard(CheckersLock);
        for (const auto& [Key, Checker] : Checkers)
            Registered.push_back(Checker);
    }
    for (const TkbvSChannelTrustChecker& Checker : Registered) {
        try {
            if (Checker(AChain, AHost))
                return true;
        } catch (...) {
        }
    }
    return false;
}

bool Refuse(TkbvSChannelState& AState, SECURITY_STATUS AStatus, const std::string& AReason) {
    AState.LastStatus = AStatus;
    SetSChannelLastError(AStatus, Format("CertVerifyCertificateChainPolicy.vStatus = %.8X\r\n%s", AStatus, AReason));
    return false;
}

}  // namespace

int RegisterSChannelTrustChecker(TkbvSChannelTrustChecker AChecker) {
    std::lock_guard Guard(CheckersLock);
    Checkers.emplace(NextCheckerKey, std::move(AChecker));
    return NextCheckerKey++;
}

void UnregisterSChannelTrustChecker(int AKey) {
    std::lock_guard Guard(CheckersLock);
    Checkers.erase(AKey);
}

bool CertificateNameMatches(const std::string& APattern, const std::string& AHost) {
    auto Normal = [](std::string AName) {
        if (!AName.empty() && AName.back() == '.')
            AName.pop_back();
        return LowerCase(AName);
    };
    const std::string Pattern = Normal(APattern);
    const std::string Host = Normal(AHost);
    if (Pattern.empty() || Host.empty())
        return false;
    if (!Pattern.starts_with("*."))
        return Pattern.find('*') == std::string::npos && Pattern == Host;
    const std::string Parent = Pattern.substr(2);
    // "*.com" would cover a whole top-level domain.
    if (Parent.find('*') != std::string::npos || Parent.find('.') == std::string::npos)
        return false;
    const size_t Dot = Host.find('.');
    return Dot != std::string::npos && Dot > 0 && Host.substr(Dot + 1) == Parent;
}

bool SChannelVerifyServer(TkbvSChannelState& AState) {
    SecPkgContext_RemoteCertificate Remote;
    if (const SECURITY_STATUS Status = QueryContextAttributes(AState.Context, Remote); Status != SEC_E_OK) {
        AState.LastStatus = Status;
        SetSChannelLastError(Status, Format("QueryCredentialsAttributes returns %.8X", Status));
        return false;
    }
    TCertList Chain(Remote.Chain);
    if (Chain.Certs().size() != Remote.Chain.size())
        return Refuse(AState, CERT_E_CHAINING, "The server's certificate chain could not be read");
    std::string Reason;
    SECURITY_STATUS Status = ChainStatus(VerifyChain(Chain.Certs()), Chain.Certs().back(), Reason);
    if (Status == CERT_E_UNTRUSTEDROOT && TrustedAnyway(Remote.Chain, AState.TargetName))
        Status = SEC_E_OK;
    if (Status == SEC_E_OK && !ForServers(Chain.Certs().front())) {
        Status = CERT_E_WRONG_USAGE;
        Reason = "The server's certificate is not for server authentication";
    }
    if (Status == SEC_E_OK && !NamesHost(Chain.Certs().front(), AState.TargetName)) {
        Status = CERT_E_CN_NO_MATCH;
        Reason = Format("The server's certificate is not valid for \"%s\"", AState.TargetName);
    }
    AState.LastStatus = Status;
    if (Status != SEC_E_OK)
        return Refuse(AState, Status, Reason);
    return true;
}
