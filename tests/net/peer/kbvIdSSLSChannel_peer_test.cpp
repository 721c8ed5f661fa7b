// The SChannel-style TLS handler against nginx: what the server sees of the
// handshake (its /tls page echoes protocol, server name, ALPN and client
// certificate), the server checks with verification on and off, and the
// client certificate by thumbprint, by file and by the server's issuers.
// The store folders live in a scratch $XDG_DATA_HOME of the test.
#include "net/kbvIdSSLSChannel.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/Format.h"
#include "core/Text.h"
#include "net/kbvIdCertStore.h"
#include "net/kbvIdTCPClient.h"
#include "tests/support/MessageOf.h"
#include "tests/support/Peers.h"

namespace fs = std::filesystem;

namespace {

const std::string Failed = "SChannel initialization error: ";

std::string Hex(const TIdBytes& ABytes) {
    std::string Result;
    for (uint8_t Byte : ABytes)
        Result += Format("%02X", Byte);
    return Result;
}

class SChannelPeers : public ::testing::Test {
protected:
    void SetUp() override {
        if (!PeerSetting("NGINX_CERT_DIR"))
            GTEST_SKIP() << "KBV_PEERS_ENV is not set: run through ctest -L peer";
        FCerts = *PeerSetting("NGINX_CERT_DIR") + "/";
        FData = fs::temp_directory_path() / ("kbv-stores-" + std::to_string(::getpid()));
        fs::remove_all(FData);
        ::setenv("XDG_DATA_HOME", FData.c_str(), 1);
        // The test CA is a trusted root of the current user.
        AddToStore(scsnRoot, "ca.crt");
    }
    void TearDown() override {
        if (!FData.empty())
            fs::remove_all(FData);
        ::unsetenv("XDG_DATA_HOME");
    }
    void AddToStore(TkbvSChannelCertStoreName AName, const std::string& AFile) {
        const fs::path Folder = CertStoreFolder(scspStoreCurrentUser, AName);
        fs::create_directories(Folder);
        fs::copy_file(FCerts + AFile, Folder / AFile, fs::copy_options::overwrite_existing);
    }

    struct TClient {
        TIdTCPClient Client;
        TkbvIdSSLIOHandlerSocketSChannel* TLS = new TkbvIdSSLIOHandlerSocketSChannel(&Client);
    };
    std::unique_ptr<TClient> MakeClient(const char* APortName, const std::string& AHost = "localhost",
                                        bool AVerify = true) {
        auto Result = std::make_unique<TClient>();
        Result->Client.SetHost(AHost);
        Result->Client.SetPort(*PeerPort(APortName));
        Result->Client.SetIOHandler(Result->TLS);
        Result->Client.SetConnectTimeout(10000);
        Result->Client.SetReadTimeout(10000);
        Result->TLS->SetTLSVersion(tlsUndefined);
        Result->TLS->Certificate().SetVerifyCertificate(AVerify);
        Result->TLS->SetPassThrough(false);
        return Result;
    }
    // Connects, asks for /tls and returns nginx's page ("" when refused
    // after the handshake).
    static std::string TLSPage(TClient& AClient) {
        AClient.Client.Connect();
        AClient.TLS->Write("GET /tls HTTP/1.0\r\nHost: localhost\r\n\r\n");
        const std::string Reply = AClient.TLS->AllData();
        AClient.Client.Disconnect();
        const auto Body = Reply.find("\r\n\r\n");
        return Reply.starts_with("HTTP/1.1 200") && Body != std::string::npos ? Reply.substr(Body + 4) : "";
    }
    static std::string Line(const std::string& APage, const std::string& AName) {
        const auto Start = APage.find(AName + "=");
        return Start == std::string::npos ? "(missing)"
                                          : APage.substr(Start + AName.size() + 1,
                                                         APage.find('\n', Start) - Start - AName.size() - 1);
    }
    // The client's page, or the message of the failed start.
    static std::string ClientSeen(TClient& AClient) {
        try {
            const std::string Page = TLSPage(AClient);
            return Page.empty() ? "(refused by the server)" : Line(Page, "client");
        } catch (const SChannelError& E) {
            return E.Message();
        }
    }

    std::string FCerts;
    fs::path FData;
};

}  // namespace

TEST_F(SChannelPeers, TheServerIsCheckedAgainstTheHostConnectedTo) {
    struct TCase {
        const char* Port;
        std::string Host, URIToCheck;
        bool Verify;
        std::string Expected;  // "" for a good connection
    };
    const std::string Policy = Failed + "CertVerifyCertificateChainPolicy.vStatus = ";
    const TCase Cases[] = {
        {"NGINX_HTTPS_PORT", "localhost", "", true, ""},
        {"NGINX_HTTPS_PORT", "127.0.0.1", "", true, ""},
        {"NGINX_HTTPS_PORT", "127.0.0.1", "https://localhost/", true, ""},
        {"NGINX_HTTPS_PORT", "127.0.0.1", "https://other.example/", true,
         Policy + "800B010F\r\nThe server's certificate is not valid for \"other.example\""},
        {"NGINX_OTHERNAME_PORT", "localhost", "", true,
         Policy + "800B010F\r\nThe server's certificate is not valid for \"localhost\""},
        {"NGINX_OTHERNAME_PORT", "127.0.0.1", "", true,
         Policy + "800B010F\r\nThe server's certificate is not valid for \"127.0.0.1\""},
        {"NGINX_EXPIRED_PORT", "localhost", "", true,
         Policy + "800B0101\r\nA certificate of the chain has expired or is not yet valid"},
        {"NGINX_UNKNOWNCA_PORT", "localhost", "", true,
         Policy + "800B010A\r\nNo chain to a trusted root certificate could be built"},
        // With verification off, nothing is checked.
        {"NGINX_EXPIRED_PORT", "localhost", "", false, ""},
        {"NGINX_UNKNOWNCA_PORT", "localhost", "", false, ""},
        {"NGINX_OTHERNAME_PORT", "localhost", "", false, ""},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(std::string(Case.Port) + " " + Case.Host + " " + Case.URIToCheck);
        auto Client = MakeClient(Case.Port, Case.Host, Case.Verify);
        Client->TLS->SetURIToCheck(Case.URIToCheck);
        if (Case.Expected.empty()) {
            EXPECT_EQ(Line(TLSPage(*Client), "protocol"), "TLSv1.3");
        } else {
            EXPECT_EQ(MessageOf<SChannelError>([&] { Client->Client.Connect(); }), Case.Expected);
            EXPECT_FALSE(Client->Client.Connected());
        }
    }
    // Without the test CA among the roots, the system's store alone does not
    // know it.
    fs::remove_all(CertStoreFolder(scspStoreCurrentUser, scsnRoot));
    auto Client = MakeClient("NGINX_HTTPS_PORT");
    try {
        Client->Client.Connect();
        ADD_FAILURE() << "no exception";
    } catch (const SChannelError& E) {
        EXPECT_EQ(E.CertStatus(), kbvSSPI::CERT_E_UNTRUSTEDROOT) << E.Message();
    }
    // A server certificate pinned in a "Trust" folder passes all the same.
    AddToStore(scsnTrust, "server.crt");
    EXPECT_EQ(Line(TLSPage(*MakeClient("NGINX_HTTPS_PORT")), "protocol"), "TLSv1.3");
}

TEST_F(SChannelPeers, VersionsServerNameAndALPN) {
    struct TCase {
        const char* Port;
        TwsTLSVersions Version;
        const char* Protocol;  // null: the handshake fails
    };
    const TCase Versions[] = {
        {"NGINX_TLS12_PORT", tls1_2, "TLSv1.2"}, {"NGINX_TLS13_PORT", tls1_3, "TLSv1.3"},
        {"NGINX_HTTPS_PORT", tls1_2, "TLSv1.2"}, {"NGINX_HTTPS_PORT", tlsUndefined, "TLSv1.3"},
        {"NGINX_TLS12_PORT", tls1_3, nullptr},   {"NGINX_TLS13_PORT", tls1_2, nullptr},
    };
    for (const TCase& Case : Versions) {
        SCOPED_TRACE(std::string(Case.Port) + " " + std::to_string(Case.Version));
        auto Client = MakeClient(Case.Port);
        Client->TLS->SetTLSVersion(Case.Version);
        if (Case.Protocol) {
            EXPECT_EQ(Line(TLSPage(*Client), "protocol"), Case.Protocol);
        } else {
            EXPECT_EQ(MessageOf<SChannelError>([&] { Client->Client.Connect(); }),
                      Failed + "InitializeSecurityContext returns 80090326");
        }
    }

    const std::pair<std::string, std::string> Names[] = {{"localhost", "localhost"}, {"127.0.0.1", ""}};
    for (const auto& [Host, Sent] : Names)
        EXPECT_EQ(Line(TLSPage(*MakeClient("NGINX_HTTPS_PORT", Host)), "sni"), Sent) << Host;

    struct TALPN {
        const char* Port;
        std::vector<std::string> Offered;
        const char* Chosen;
    };
    const TALPN Protocols[] = {
        {"NGINX_H2_PORT", {"h2", "http/1.1"}, "h2"},
        {"NGINX_HTTPS_PORT", {"h2", "http/1.1"}, "http/1.1"},
        {"NGINX_HTTPS_PORT", {}, ""},
    };
    for (const TALPN& Case : Protocols) {
        auto Client = MakeClient(Case.Port);
        for (const std::string& Name : Case.Offered)
            Client->TLS->ALPNProtocols().Add(Name);
        Client->Client.Connect();
        EXPECT_EQ(Client->TLS->ALPNProtocol(), Case.Chosen) << Case.Port;
        Client->Client.Disconnect();
    }
    auto Client = MakeClient("NGINX_TLS12_PORT");
    Client->TLS->ALPNProtocols().Add("http/1.1");
    EXPECT_EQ(Line(TLSPage(*Client), "alpn"), "http/1.1");
}

TEST_F(SChannelPeers, ClientCertificates) {
    AddToStore(scsnMY, "client.crt");
    AddToStore(scsnMY, "client.key");
    const auto Store = TkbvCertStore::Open(CertStoreFolder(scspStoreCurrentUser, scsnMY));
    ASSERT_TRUE(Store && Store->Certificates().size() == 1);
    const std::string Thumbprint = Hex(CertificateSHA1(Store->Certificates()[0].Der));
    const std::string Missing(40, '0');

    struct TCase {
        const char* Name;
        std::string Hash, File, Password;
        TkbvSChannelCertStoreName Store;
        std::string Expected;  // the client name nginx saw, or the message
    };
    const std::string Accepted = "CN=kbv test client";
    const TCase Cases[] = {
        {"thumbprint", Thumbprint, "", "", scsnMY, Accepted},
        {"thumbprint in lower case", LowerCase(Thumbprint), "", "", scsnMY, Accepted},
        {"PKCS#12 file", "", FCerts + "client.p12", "p12secret", scsnMY, Accepted},
        {"PEM file with its key beside", "", FCerts + "client.crt", "", scsnMY, Accepted},
        {"by the server's issuers", "", "", "", scsnMY, Accepted},
        {"39 hexadecimal digits", Thumbprint.substr(1), "", "", scsnMY,
         Failed + "Invalid Certificate Hash Length, must be 40."},
        {"not hexadecimal", std::string(40, 'x'), "", "", scsnMY,
         Failed + "Error calling method CryptStringToBinary."},
        {"another thumbprint", Missing, "", "", scsnMY,
         Failed + "Certificate not found in Store MY with Hash " + Missing},
        {"a store folder that is not there", Thumbprint, "", "", scsnCA, Failed + "Cannot Open Certificate Store."},
        {"PKCS#12, wrong password", "", FCerts + "client.p12", "wrong", scsnMY,
         Failed + "Cannot import the certificate."},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        auto Client = MakeClient("NGINX_CLIENTCERT_PORT");
        TkbvSChannelCertificate& Certificate = Client->TLS->Certificate();
        Certificate.SetCertHash(Case.Hash);
        Certificate.SetCertFile(Case.File);
        Certificate.SetPassword(Case.Password);
        Certificate.SetCertStoreName(Case.Store);
        EXPECT_EQ(ClientSeen(*Client), Case.Expected);
    }

    // OnCredentials hears the issuers and may name the certificate.
    std::vector<std::string> Issuers;
    auto Asked = MakeClient("NGINX_CLIENTCERT_PORT");
    Asked->TLS->SetOnCredentials([&](TObject*, const TStringList& AIssuers, TkbvSChannelCertificate& VCertificate) {
        for (int I = 0; I < AIssuers.Count(); ++I)
            Issuers.push_back(AIssuers.Strings(I));
        VCertificate.SetCertFile(FCerts + "client.p12");
        VCertificate.SetPassword("p12secret");
    });
    fs::remove_all(CertStoreFolder(scspStoreCurrentUser, scsnMY));
    EXPECT_EQ(ClientSeen(*Asked), Accepted);
    EXPECT_EQ(Issuers, std::vector<std::string>{"CN=kbv test CA"});
    // Nothing in "MY" for those issuers.
    EXPECT_EQ(ClientSeen(*MakeClient("NGINX_CLIENTCERT_PORT")), Failed + "CertFindChainInStore returns nil");
}
