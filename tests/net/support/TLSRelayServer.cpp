#include "tests/net/support/TLSRelayServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <linux/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "tests/net/support/LoopbackPeer.h"
#include "tests/net/support/TLSLoopbackServer.h"

namespace {

constexpr int WaitMS = 10000;
using Clock = std::chrono::steady_clock;

// The socket of this process whose local address is the peer of AAccepted.
int ClientEndOf(int AAccepted) {
    sockaddr_in Peer{};
    socklen_t Length = sizeof Peer;
    if (::getpeername(AAccepted, reinterpret_cast<sockaddr*>(&Peer), &Length) != 0)
        return -1;
    for (int Fd = 0; Fd < 4096; ++Fd) {
        sockaddr_in Local{};
        socklen_t LocalLength = sizeof Local;
        if (Fd != AAccepted && ::getsockname(Fd, reinterpret_cast<sockaddr*>(&Local), &LocalLength) == 0 &&
            Local.sin_family == AF_INET && Local.sin_port == Peer.sin_port && Local.sin_addr.s_addr == Peer.sin_addr.s_addr)
            return Fd;
    }
    return -1;
}

}  // namespace

// --- TTLSRelay -----------------------------------------------------------------------

void TTLSRelay::DrainClient(uint64_t AArrived) {
    // Until the byte has reached the client's socket and the client has read it.
    const auto Deadline = Clock::now() + std::chrono::milliseconds(WaitMS);
    for (;;) {
        struct tcp_info Info{};
        socklen_t Length = sizeof Info;
        int Unread = 0;
        if (ClientEndOf(FSocket) != FClientSocket ||
            ::getsockopt(FClientSocket, IPPROTO_TCP, TCP_INFO, &Info, &Length) != 0 ||
            ::ioctl(FClientSocket, FIONREAD, &Unread) != 0)
            throw std::runtime_error("the client's socket is gone");
        if (Info.tcpi_bytes_received >= AArrived && Unread == 0)
            return;
        if (Clock::now() > Deadline)
            throw std::runtime_error("the client stopped reading");
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
}

void TTLSRelay::Deliver(const std::string& ABytes) {
    if (FDelivery == Coalesced) {
        if (::send(FSocket, ABytes.data(), ABytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(ABytes.size()))
            throw std::runtime_error("send failed");
        FDelivered += ABytes.size();
        return;
    }
    for (char Byte : ABytes) {
        if (::send(FSocket, &Byte, 1, MSG_NOSIGNAL) != 1)
            throw std::runtime_error("send failed");
        DrainClient(++FDelivered);
    }
}

void TTLSRelay::Flush() {
    std::string Pending;
    char Buffer[4096];
    for (int Count; (Count = BIO_read(FOutput, Buffer, sizeof Buffer)) > 0;)
        Pending.append(Buffer, static_cast<size_t>(Count));
    if (!Pending.empty())
        Deliver(Pending);
}

void TTLSRelay::ReadFromClient() {
    pollfd Poll{FSocket, POLLIN, 0};
    if (::poll(&Poll, 1, WaitMS) != 1)
        throw std::runtime_error("the client sent nothing");
    char Buffer[16384];
    const ssize_t Count = ::recv(FSocket, Buffer, sizeof Buffer, 0);
    if (Count <= 0)
        throw std::runtime_error("the client closed");
    BIO_write(FInput, Buffer, static_cast<int>(Count));
}

void TTLSRelay::Handshake() {
    for (;;) {
        const int Result = SSL_do_handshake(FSession);
        if (Result == 1)
            return;
        if (SSL_get_error(FSession, Result) != SSL_ERROR_WANT_READ) {
            Flush();
            char Text[256];
            ERR_error_string_n(ERR_get_error(), Text, sizeof Text);
            throw std::runtime_error(std::string("handshake failed: ") + Text);
        }
        Flush();
        ReadFromClient();
    }
}

std::string TTLSRelay::Read(size_t ACount) {
    std::string Data;
    char Buffer[4096];
    while (Data.size() < ACount) {
        const int Count = SSL_read(FSession, Buffer, static_cast<int>(std::min(sizeof Buffer, ACount - Data.size())));
        if (Count > 0) {
            Data.append(Buffer, static_cast<size_t>(Count));
            continue;
        }
        if (SSL_get_error(FSession, Count) != SSL_ERROR_WANT_READ)
            throw std::runtime_error("the client's data did not decrypt");
        Flush();  // a renegotiation's messages
        ReadFromClient();
    }
    return Data;
}

std::string TTLSRelay::ReadRequestHead() {
    std::string Head;
    while (Head.find("\r\n\r\n") == std::string::npos)
        Head += Read(1);
    return Head;
}

void TTLSRelay::Write(const std::string& AData, size_t APieceSize) {
    for (size_t At = 0; At < AData.size(); At += APieceSize) {
        const std::string Piece = AData.substr(At, APieceSize);
        if (SSL_write(FSession, Piece.data(), static_cast<int>(Piece.size())) != static_cast<int>(Piece.size()))
            throw std::runtime_error("SSL_write failed");
    }
}

void TTLSRelay::CloseNotify() {
    Flush();
    // The alert whole: a client may close its socket as soon as it has it.
    const TDelivery Delivery = FDelivery;
    FDelivery = Coalesced;
    SSL_shutdown(FSession);
    Flush();
    FDelivery = Delivery;
}

void TTLSRelay::SendRaw(const std::string& ABytes) {
    Flush();
    Deliver(ABytes);
}

void TTLSRelay::Renegotiate() {
    if (SSL_renegotiate(FSession) != 1)
        throw std::runtime_error("SSL_renegotiate failed");
    SSL_do_handshake(FSession);
    Flush();
}

void TTLSRelay::FinishRenegotiation() {
    while (SSL_renegotiate_pending(FSession)) {
        char Byte;
        const int Count = SSL_read(FSession, &Byte, 1);
        if (Count > 0)
            throw std::runtime_error("the client sent data within the renegotiation");
        if (SSL_get_error(FSession, Count) != SSL_ERROR_WANT_READ)
            throw std::runtime_error("the renegotiation failed");
        Flush();
        if (SSL_renegotiate_pending(FSession))
            ReadFromClient();
    }
    Flush();
}

int TTLSRelay::Renegotiations() const { return static_cast<int>(SSL_num_renegotiations(FSession)); }

// --- TTLSRelayServer -------------------------------------------------------------------

TTLSRelayServer::TTLSRelayServer(TTLSRelay::TDelivery ADelivery, TScript AScript, int AMaxVersion)
    : FDelivery(ADelivery), FScript(std::move(AScript)) {
    EVP_PKEY* Key = EVP_EC_gen("P-256");
    X509* Cert = MakeLoopbackCertificate(Key);
    FContext = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(FContext, Cert);
    SSL_CTX_use_PrivateKey(FContext, Key);
    SSL_CTX_set_max_proto_version(FContext, AMaxVersion);
    X509_free(Cert);
    EVP_PKEY_free(Key);
    FListen = ListenOnLoopback(FPort);
    FThread = std::thread([this] { Run(); });
}

TTLSRelayServer::~TTLSRelayServer() {
    ::shutdown(FListen, SHUT_RDWR);
    FThread.join();
    ::close(FListen);
    SSL_CTX_free(FContext);
}

void TTLSRelayServer::Run() {
    std::string Error;
    pollfd Poll{FListen, POLLIN, 0};
    const int Socket = ::poll(&Poll, 1, WaitMS) == 1 ? ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    if (Socket < 0) {
        Error = "no connection";
    } else {
        const int NoDelay = 1;
        ::setsockopt(Socket, IPPROTO_TCP, TCP_NODELAY, &NoDelay, sizeof NoDelay);
        TTLSRelay Relay;
        Relay.FSession = SSL_new(FContext);
        Relay.FInput = BIO_new(BIO_s_mem());
        Relay.FOutput = BIO_new(BIO_s_mem());
        SSL_set_bio(Relay.FSession, Relay.FInput, Relay.FOutput);
        SSL_set_accept_state(Relay.FSession);
        Relay.FSocket = Socket;
        Relay.FDelivery = FDelivery;
        Relay.FClientSocket = FDelivery == TTLSRelay::OneByte ? ClientEndOf(Socket) : -1;
        try {
            if (FDelivery == TTLSRelay::OneByte && Relay.FClientSocket < 0)
                throw std::runtime_error("the client is not in this process");
            FScript(Relay);
        } catch (const std::exception& E) {
            Error = E.what();
        }
        SSL_free(Relay.FSession);
        ::close(Socket);
        ERR_clear_error();
    }
    std::lock_guard Guard(FLock);
    FError = Error;
    FDone = true;
}

bool TTLSRelayServer::Wait(int AMS) {
    const auto Deadline = Clock::now() + std::chrono::milliseconds(AMS);
    while (Clock::now() < Deadline) {
        {
            std::lock_guard Guard(FLock);
            if (FDone)
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

std::string TTLSRelayServer::Error() const {
    std::lock_guard Guard(FLock);
    return FError;
}
