// TLS over OpenSSL against nginx: what the server sees of the handshake
// (its /tls page echoes protocol, server name, ALPN and client certificate)
// and every way a server or a certificate can be refused.
#include "net/kbvIdSSLOpenSSL.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "net/kbvIdTCPClient.h"
#include "tests/support/MessageOf.h"
#include "tests/support/Peers.h"

namespace {

const std::string VerifyFailed = "Error connecting with SSL.\r\nerror:0A000086:SSL routines::certificate verify failed\r\n";

class TLSPeers : public ::testing::Test {
protected:
    void SetUp() override {
        if (!PeerSetting("NGINX_CERT_DIR"))
            GTEST_SKIP() << "KBV_PEERS_ENV is not set: run through ctest -L peer";
        FCerts = *PeerSetting("NGINX_CERT_DIR") + "/";
    }

    // A client for nginx's port APortName that verifies against the test CA.
    struct TClient {
        TIdTCPClient Client;
        TIdSSLIOHandlerSocketOpenSSL* TLS = new TIdSSLIOHandlerSocketOpenSSL(&Client);
    };
    std::unique_ptr<TClient> MakeClient(const char* APortName, const std::string& AHost = "localhost") {
        auto Result = std::make_unique<TClient>();
        Result->Client.SetHost(AHost);
        Result->Client.SetPort(*PeerPort(APortName));
        Result->Client.SetIOHandler(Result->TLS);
        Result->Client.SetConnectTimeout(10000);
        Result->Client.SetReadTimeout(10000);
        TIdSSLOptions& Options = Result->TLS->SSLOptions();
        Options.SetMethod(sslvSSLv23);
        Options.SetVerifyMode({sslvrfPeer});
        Options.SetRootCertFile(FCerts + "ca.crt");
        Result->TLS->SetPassThrough(false);
        return Result;
    }
    // Connects, asks for /tls and returns nginx's page ("" when the client
    // was refused by the server after the handshake).
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

    std::string FCerts;
};

}  // namespace

TEST_F(TLSPeers, TheServerIsCheckedAgainstTheHostConnectedTo) {
    struct TCase {
        const char* Port;
        std::string Host, URIToCheck, RootCertFile;
        std::string Expected;  // "" for a good connection
    };
    const std::string CA = FCerts + "ca.crt";
    const TCase Cases[] = {
        {"NGINX_HTTPS_PORT", "localhost", "", CA, ""},
        {"NGINX_HTTPS_PORT", "127.0.0.1", "", CA, ""},
        {"NGINX_HTTPS_PORT", "127.0.0.1", "https://localhost/", CA, ""},
        {"NGINX_HTTPS_PORT", "127.0.0.1", "https://other.example/", CA,
         VerifyFailed + "The server's certificate is not valid for \"other.example\""},
        {"NGINX_OTHERNAME_PORT", "localhost", "", CA,
         VerifyFailed + "The server's certificate is not valid for \"localhost\""},
        {"NGINX_OTHERNAME_PORT", "127.0.0.1", "", CA,
         VerifyFailed + "The server's certificate is not valid for \"127.0.0.1\""},
        {"NGINX_EXPIRED_PORT", "localhost", "", CA, VerifyFailed + "Certificate verification failed: certificate has expired"},
        {"NGINX_UNKNOWNCA_PORT", "localhost", "", CA,
         VerifyFailed + "Certificate verification failed: unable to get local issuer certificate"},
        // The system's trust store alone does not know the test CA.
        {"NGINX_HTTPS_PORT", "localhost", "", "",
         VerifyFailed + "Certificate verification failed: self-signed certificate in certificate chain"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(std::string(Case.Port) + " " + Case.Host + " " + Case.URIToCheck);
        auto Client = MakeClient(Case.Port, Case.Host);
        Client->TLS->SetURIToCheck(Case.URIToCheck);
        Client->TLS->SSLOptions().SetRootCertFile(Case.RootCertFile);
        if (Case.Expected.empty()) {
            EXPECT_EQ(Line(TLSPage(*Client), "protocol"), "TLSv1.3");
        } else {
            EXPECT_EQ(MessageOf<EIdOSSLUnderlyingCryptoError>([&] { Client->Client.Connect(); }), Case.Expected);
            EXPECT_FALSE(Client->Client.Connected());
        }
    }
    // Without peer verification nothing is checked.
    auto Unchecked = MakeClient("NGINX_EXPIRED_PORT");
    Unchecked->TLS->SSLOptions().SetVerifyMode({});
    EXPECT_EQ(Line(TLSPage(*Unchecked), "protocol"), "TLSv1.3");
}

TEST_F(TLSPeers, TheServerNameGoesOutForNamesOnly) {
    const std::pair<std::string, std::string> Cases[] = {{"localhost", "localhost"}, {"127.0.0.1", ""}};
    for (const auto& [Host, Sent] : Cases) {
        auto Client = MakeClient("NGINX_HTTPS_PORT", Host);
        EXPECT_EQ(Line(TLSPage(*Client), "sni"), Sent) << Host;
        EXPECT_EQ(Client->TLS->SSLSocket(), nullptr);  // gone with the connection
    }
    auto ByURI = MakeClient("NGINX_HTTPS_PORT", "127.0.0.1");
    ByURI->TLS->SetURIToCheck("https://localhost:1/x");
    EXPECT_EQ(Line(TLSPage(*ByURI), "sni"), "localhost");
}

TEST_F(TLSPeers, ALPNIsOfferedAndReadBack) {
    struct TCase {
        const char* Port;
        std::vector<std::string> Offered;
        const char* Chosen;
    };
    const TCase Cases[] = {
        {"NGINX_H2_PORT", {"h2", "http/1.1"}, "h2"},
        {"NGINX_HTTPS_PORT", {"h2", "http/1.1"}, "http/1.1"},
        {"NGINX_HTTPS_PORT", {"http/1.1"}, "http/1.1"},
        {"NGINX_HTTPS_PORT", {}, ""},
    };
    for (const TCase& Case : Cases) {
        auto Client = MakeClient(Case.Port);
        for (const std::string& Name : Case.Offered)
            Client->TLS->ALPNProtocols().Add(Name);
        Client->Client.Connect();
        EXPECT_EQ(Client->TLS->ALPNProtocol(), Case.Chosen) << Case.Port;
        Client->Client.Disconnect();
    }
    auto Client = MakeClient("NGINX_HTTPS_PORT");
    Client->TLS->ALPNProtocols().Add("http/1.1");
    EXPECT_EQ(Line(TLSPage(*Client), "alpn"), "http/1.1");
}

TEST_F(TLSPeers, ClientCertificates) {
    struct TCase {
        const char* Name;
        std::string CertFile, KeyFile, Password;
        std::string Expected;  // the client name nginx saw, or the message
    };
    const std::string Accepted = "CN=kbv test client";
    const TCase Cases[] = {
        {"PEM", "client.crt", "client.key", "", Accepted},
        {"PKCS#12", "client.p12", "", "p12secret", Accepted},
        {"encrypted PEM key", "client.crt", "client-encrypted.key", "keysecret", Accepted},
        {"PKCS#12, wrong password", "client.p12", "", "wrong",
         "Could not load certificate.\r\nerror:11800071:PKCS12 routines::mac verify failure"},
        {"encrypted key, wrong password", "client.crt", "client-encrypted.key", "wrong",
         "Could not load key, check password.\r\nerror:1C800064:Provider routines::bad decrypt"},
        {"key of another certificate", "client.crt", "client-wrong.key", "",
         "Could not load key, check password.\r\nerror:05800074:x509 certificate routines::key values mismatch"},
        {"missing file", "missing.crt", "client.key", "",
         "Could not load certificate.\r\nerror:80000002:system library::No such file or directory"},
        {"no certificate", "", "", "", "(refused by the server)"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        auto Client = MakeClient("NGINX_CLIENTCERT_PORT");
        TIdSSLOptions& Options = Client->TLS->SSLOptions();
        Options.SetCertFile(Case.CertFile.empty() ? "" : FCerts + Case.CertFile);
        Options.SetKeyFile(Case.KeyFile.empty() ? "" : FCerts + Case.KeyFile);
        Client->TLS->SetOnGetPassword([&](std::string& VPassword) { VPassword = Case.Password; });
        std::string Got;
        try {
            const std::string Page = TLSPage(*Client);
            Got = Page.empty() ? "(refused by the server)" : Line(Page, "client");
        } catch (const EIdOpenSSLError& E) {
            Got = E.Message();
        }
        EXPECT_EQ(Got, Case.Expected);
    }
}

TEST_F(TLSPeers, OnVerifyPeerSeesTheChainAndDecides) {
    std::vector<std::string> Seen;
    auto Client = MakeClient("NGINX_HTTPS_PORT");
    Client->TLS->SetOnVerifyPeer([&](TIdX509* ACertificate, bool AOk, int ADepth, int) {
        Seen.push_back(std::to_string(ADepth) + " " + ACertificate->Subject().OneLine() + (AOk ? " ok" : " bad"));
        return ADepth > 0;  // refuses a good server certificate
    });
    EXPECT_EQ(MessageOf([&] { Client->Client.Connect(); }),
              VerifyFailed + "Certificate verification failed: application verification failure");
    EXPECT_EQ(Seen, (std::vector<std::string>{"1 /CN=kbv test CA ok", "0 /CN=localhost ok"}));

    // It may also accept what the chain check refused.
    auto Expired = MakeClient("NGINX_EXPIRED_PORT");
    Expired->TLS->SetOnVerifyPeer([](TIdX509*, bool, int, int) { return true; });
    EXPECT_EQ(Line(TLSPage(*Expired), "protocol"), "TLSv1.3");
}

TEST_F(TLSPeers, StatusEventsCertificateAndCipher) {
    std::vector<std::string> Status, Types;
    auto Client = MakeClient("NGINX_TLS12_PORT");
    Client->TLS->SetOnStatusInfo([&](const std::string& AMsg) { Status.push_back(AMsg); });
    Client->TLS->SetOnStatusInfoEx([&](TObject*, SSL*, int, int, const std::string& AType, const std::string&) {
        Types.push_back(AType);
    });
    Client->Client.Connect();
    EXPECT_EQ(Client->TLS->SSLVersion(), "TLSv1.2");
    ASSERT_FALSE(Status.empty());
    EXPECT_EQ(Status.front(), "SSL status: \"before SSL initialization\"");
    EXPECT_TRUE(Status.back().starts_with("Cipher: name = ECDHE-ECDSA-AES256-GCM-SHA384; description = "))
        << Status.back();
    EXPECT_NE(Status.back().find("; bits = 256; version = TLSv1.2; "), std::string::npos) << Status.back();
    EXPECT_EQ(Types.front(), "Handshake Start");
    EXPECT_NE(std::find(Types.begin(), Types.end(), "Handshake Done"), Types.end());

    TIdX509* Peer = Client->TLS->SSLSocket()->PeerCert();
    ASSERT_NE(Peer, nullptr);
    EXPECT_EQ(Peer->Subject().OneLine(), "/CN=localhost");
    EXPECT_EQ(Peer->Issuer().OneLine(), "/CN=kbv test CA");
    EXPECT_EQ(Peer->Fingerprints().SHA256().Bytes.size(), 32u);
    EXPECT_EQ(Peer->Fingerprints().SHA1().AsString.size(), 59u);  // 20 hex pairs and 19 colons
    EXPECT_LT(Peer->notBefore(), Peer->notAfter());
    EXPECT_EQ(Peer->Version(), 2);
    EXPECT_EQ(Client->TLS->SSLSocket()->Cipher()->Bits(), 256);
}

TEST_F(TLSPeers, SessionsAreResumedOnTheNextConnection) {
    for (const char* Port : {"NGINX_TLS12_PORT", "NGINX_TLS13_PORT"}) {
        SCOPED_TRACE(Port);
        auto Client = MakeClient(Port);
        EXPECT_EQ(Line(TLSPage(*Client), "session_reused"), ".");
        EXPECT_EQ(Line(TLSPage(*Client), "session_reused"), "r");

        // A clone shares the context and takes over the live session (under
        // TLS 1.3 once its ticket has come, with the first answer).
        Client->Client.Connect();
        Client->TLS->Write("GET /tls HTTP/1.1\r\nHost: localhost\r\n\r\n");
        EXPECT_EQ(Client->TLS->ReadLn(), "HTTP/1.1 200 OK");
        std::unique_ptr<TIdSSLIOHandlerSocketBase> Clone = Client->TLS->Clone();
        TIdTCPClient Other;
        Other.SetHost("localhost");
        Other.SetPort(*PeerPort(Port));
        Other.SetIOHandler(Clone.get());
        Clone->SetPassThrough(false);
        Other.Connect();
        EXPECT_TRUE(static_cast<TIdSSLIOHandlerSocketOpenSSL*>(Clone.get())->SSLSocket()->SessionReused());
        Other.Disconnect();
        Client->Client.Disconnect();

        auto Fresh = MakeClient(Port);
        Fresh->TLS->SetResumeSessions(false);
        EXPECT_EQ(Line(TLSPage(*Fresh), "session_reused"), ".");
        EXPECT_EQ(Line(TLSPage(*Fresh), "session_reused"), ".");
    }
}
