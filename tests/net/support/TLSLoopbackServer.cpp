#include "tests/net/support/TLSLoopbackServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "tests/net/support/LoopbackPeer.h"

namespace {

constexpr int WaitMS = 10000;

}  // namespace

X509* MakeLoopbackCertificate(EVP_PKEY* AKey) {
    X509* Cert = X509_new();
    X509_set_version(Cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(Cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(Cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(Cert), 86400);
    X509_set_pubkey(Cert, AKey);
    X509_NAME* Name = X509_get_subject_name(Cert);
    X509_NAME_add_entry_by_txt(Name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1,
                               0);
    X509_set_issuer_name(Cert, Name);
    X509V3_CTX Context;
    X509V3_set_ctx(&Context, Cert, Cert, nullptr, nullptr, 0);
    X509_EXTENSION* Names =
        X509V3_EXT_conf_nid(nullptr, &Context, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
    X509_add_ext(Cert, Names, -1);
    X509_EXTENSION_free(Names);
    X509_sign(Cert, AKey, EVP_sha256());
    return Cert;
}

TTLSLoopbackServer::TTLSLoopbackServer(TScript AScript, bool AOldVersionsToo) : FScript(std::move(AScript)) {
    EVP_PKEY* Key = EVP_EC_gen("P-256");
    X509* Cert = MakeLoopbackCertificate(Key);
    FContext = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(FContext, Cert);
    SSL_CTX_use_PrivateKey(FContext, Key);
    if (AOldVersionsToo) {
        SSL_CTX_set_security_level(FContext, 0);
        SSL_CTX_set_min_proto_version(FContext, TLS1_VERSION);
    }
    static int Counter = 0;
    FCertFile = (std::filesystem::temp_directory_path() /
                 ("kbv-tls-" + std::to_string(::getpid()) + "-" + std::to_string(++Counter) + ".pem"))
                    .string();
    FILE* File = std::fopen(FCertFile.c_str(), "w");
    PEM_write_X509(File, Cert);
    std::fclose(File);
    X509_free(Cert);
    EVP_PKEY_free(Key);

    FListen = ListenOnLoopback(FPort);
    FThread = std::thread([this] { Run(); });
}

TTLSLoopbackServer::~TTLSLoopbackServer() {
    ::shutdown(FListen, SHUT_RDWR);  // ends a pending accept
    FThread.join();
    ::close(FListen);
    SSL_CTX_free(FContext);
    std::filesystem::remove(FCertFile);
}

void TTLSLoopbackServer::Run() {
    // A client that hangs up makes the server's writes raise SIGPIPE: on
    // this thread it stays blocked, and the writes fail with EPIPE instead.
    sigset_t Pipe;
    sigemptyset(&Pipe);
    sigaddset(&Pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &Pipe, nullptr);
    std::string Error;
    pollfd Poll{FListen, POLLIN, 0};
    const int Socket = ::poll(&Poll, 1, WaitMS) == 1 ? ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    if (Socket < 0) {
        Error = "no connection";
    } else {
        timeval Timeout{WaitMS / 1000, 0};
        ::setsockopt(Socket, SOL_SOCKET, SO_RCVTIMEO, &Timeout, sizeof Timeout);
        ::setsockopt(Socket, SOL_SOCKET, SO_SNDTIMEO, &Timeout, sizeof Timeout);
        SSL* Session = SSL_new(FContext);
        SSL_set_fd(Session, Socket);
        if (SSL_accept(Session) != 1) {
            char Text[256];
            ERR_error_string_n(ERR_get_error(), Text, sizeof Text);
            Error = std::string("handshake failed: ") + Text;
        } else {
            {
                std::lock_guard Guard(FLock);
                FProtocol = SSL_get_version(Session);
            }
            try {
                FScript(Session, Socket);
            } catch (const std::exception& E) {
                Error = E.what();
            }
        }
        SSL_free(Session);  // no close_notify unless the script sent one
        ::close(Socket);
        ERR_clear_error();
    }
    std::lock_guard Guard(FLock);
    FError = Error;
    FDone = true;
}

bool TTLSLoopbackServer::Wait(int AMS) {
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(AMS);
    while (std::chrono::steady_clock::now() < Deadline) {
        {
            std::lock_guard Guard(FLock);
            if (FDone)
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

std::string TTLSLoopbackServer::Error() const {
    std::lock_guard Guard(FLock);
    return FError;
}

std::string TTLSLoopbackServer::Protocol() const {
    std::lock_guard Guard(FLock);
    return FProtocol;
}

std::string TTLSLoopbackServer::ReadRequestHead(SSL* ASession) {
    std::string Head;
    char Buffer[1024];
    while (Head.find("\r\n\r\n") == std::string::npos) {
        const int Count = SSL_read(ASession, Buffer, sizeof Buffer);
        if (Count <= 0)
            throw std::runtime_error("the client closed before the end of its request");
        Head.append(Buffer, static_cast<size_t>(Count));
    }
    return Head;
}
