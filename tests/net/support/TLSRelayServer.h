// An in-process TLS server (OpenSSL on memory buffers) that decides exactly
// how its bytes reach the client: one byte per read of the client, or all
// that is pending (several records) in one send. One connection on
// 127.0.0.1; the script runs on a thread of its own; every wait is bounded
// (10 s).
//
//   TTLSRelayServer Server(TTLSRelayServer::OneByte, [](TTLSRelay& R) {
//       R.Handshake();
//       R.ReadRequestHead();
//       R.Write("HTTP/1.0 200 OK\r\n\r\nbody");
//       R.CloseNotify();
//   });
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct bio_st BIO;

class TTLSRelay {
public:
    enum TDelivery { OneByte, Coalesced };

    void Handshake();
    std::string ReadRequestHead();
    // Reads until the client has sent ACount bytes of data.
    std::string Read(size_t ACount);
    // Queues records (APieceSize bytes of data each); Flush sends them.
    void Write(const std::string& AData, size_t APieceSize = 16384);
    void Flush();
    // close_notify, flushed.
    void CloseNotify();
    // Bytes as they are, after what is pending.
    void SendRaw(const std::string& ABytes);
    // Asks for a new handshake (TLS 1.2) and flushes the request;
    // FinishRenegotiation runs the handshake to its end.
    void Renegotiate();
    void FinishRenegotiation();
    int Renegotiations() const;

private:
    friend class TTLSRelayServer;
    void Deliver(const std::string& ABytes);
    void ReadFromClient();
    void DrainClient(uint64_t AArrived);

    SSL* FSession = nullptr;
    BIO* FOutput = nullptr;
    BIO* FInput = nullptr;
    int FSocket = -1;
    int FClientSocket = -1;  // the client's end, in this process
    TDelivery FDelivery = Coalesced;
    uint64_t FDelivered = 0;
};

class TTLSRelayServer {
public:
    using TScript = std::function<void(TTLSRelay& ARelay)>;
    // AMaxVersion: the highest TLS version served (0x0304 TLS 1.3, 0x0303 TLS 1.2).
    TTLSRelayServer(TTLSRelay::TDelivery ADelivery, TScript AScript, int AMaxVersion = 0x0304);
    ~TTLSRelayServer();
    TTLSRelayServer(const TTLSRelayServer&) = delete;
    TTLSRelayServer& operator=(const TTLSRelayServer&) = delete;

    uint16_t Port() const { return FPort; }
    bool Wait(int AMS);
    // Why the script ended early ("" when it ran through).
    std::string Error() const;

private:
    void Run();

    TTLSRelay::TDelivery FDelivery;
    TScript FScript;
    SSL_CTX* FContext = nullptr;
    int FListen = -1;
    uint16_t FPort = 0;
    std::thread FThread;
    mutable std::mutex FLock;
    std::string FError;
    bool FDone = false;
};
