// An in-process TLS server on 127.0.0.1 for exact fault injection over TLS:
// it makes a self-signed certificate for "localhost" and 127.0.0.1, accepts
// one connection, completes the handshake and runs the test's script with the
// session on a thread of its own. Every wait is bounded (10 s).
//
//   TTLSLoopbackServer Server([](SSL* ASession, int) { ... SSL_write ...; });
//   ... connect a client to 127.0.0.1:Server.Port(), trusting Server.CertFile() ...
//   EXPECT_TRUE(Server.Wait(5000));
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct x509_st X509;
typedef struct evp_pkey_st EVP_PKEY;

// A self-signed P-256 certificate for "localhost" and 127.0.0.1, good for a day.
X509* MakeLoopbackCertificate(EVP_PKEY* AKey);

class TTLSLoopbackServer {
public:
    // ASocket is the accepted socket, for a script that closes it under TLS.
    using TScript = std::function<void(SSL* ASession, int ASocket)>;
    // AOldVersionsToo: TLS 1.0 and 1.1 are served too (security level 0), so
    // that a refusal of them is the client's own.
    explicit TTLSLoopbackServer(TScript AScript, bool AOldVersionsToo = false);
    ~TTLSLoopbackServer();
    TTLSLoopbackServer(const TTLSLoopbackServer&) = delete;
    TTLSLoopbackServer& operator=(const TTLSLoopbackServer&) = delete;

    uint16_t Port() const { return FPort; }
    // The server's certificate as a PEM file, for the client's trust.
    const std::string& CertFile() const { return FCertFile; }
    bool Wait(int AMS);
    // Why the server ended early ("" when the script ran).
    std::string Error() const;

    // Reads from the session until the end of a request head.
    static std::string ReadRequestHead(SSL* ASession);
    // The protocol the last handshake agreed on ("TLSv1.3"; "" before one).
    std::string Protocol() const;

private:
    void Run();

    TScript FScript;
    SSL_CTX* FContext = nullptr;
    std::string FCertFile;
    int FListen = -1;
    uint16_t FPort = 0;
    std::thread FThread;
    mutable std::mutex FLock;
    std::string FError;
    std::string FProtocol;
    bool FDone = false;
};
