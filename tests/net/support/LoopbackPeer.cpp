#include "tests/net/support/LoopbackPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace {

// Ends the script when Stop was called; not a failure.
struct TStopped {};

// Ends the script with a failure that Error reports.
struct TScriptFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void Fail(const std::string& AWhat) { throw TScriptFailure(AWhat); }

[[noreturn]] void FailErrno(const std::string& AWhat) { Fail(AWhat + ": " + std::strerror(errno)); }

[[noreturn]] void ThrowErrno(const char* AWhat) { throw std::system_error(errno, std::generic_category(), AWhat); }

// The loopback address of the family, at APort; returns its length.
socklen_t LoopbackAddress(bool AIPv6, uint16_t APort, sockaddr_storage& VAddr) {
    VAddr = {};
    if (AIPv6) {
        auto& A6 = reinterpret_cast<sockaddr_in6&>(VAddr);
        A6.sin6_family = AF_INET6;
        A6.sin6_addr = in6addr_loopback;
        A6.sin6_port = htons(APort);
        return sizeof A6;
    }
    auto& A4 = reinterpret_cast<sockaddr_in&>(VAddr);
    A4.sin_family = AF_INET;
    A4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    A4.sin_port = htons(APort);
    return sizeof A4;
}

// A socket bound to the loopback address at a free port (flags as for socket()).
int BoundLoopbackSocket(bool AIPv6, int AFlags, uint16_t& VPort) {
    int Socket = ::socket(AIPv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | AFlags, 0);
    if (Socket < 0)
        ThrowErrno("socket");
    sockaddr_storage Addr;
    socklen_t Length = LoopbackAddress(AIPv6, 0, Addr);
    if (::bind(Socket, reinterpret_cast<sockaddr*>(&Addr), Length) != 0 ||
        ::getsockname(Socket, reinterpret_cast<sockaddr*>(&Addr), &Length) != 0) {
        int Error = errno;
        ::close(Socket);
        throw std::system_error(Error, std::generic_category(), "bind");
    }
    VPort = ntohs(AIPv6 ? reinterpret_cast<sockaddr_in6&>(Addr).sin6_port : reinterpret_cast<sockaddr_in&>(Addr).sin_port);
    return Socket;
}

// A non-blocking connect to the loopback address at APort.
int StartConnect(bool AIPv6, uint16_t APort) {
    int Socket = ::socket(AIPv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (Socket < 0)
        ThrowErrno("socket");
    sockaddr_storage Addr;
    socklen_t Length = LoopbackAddress(AIPv6, APort, Addr);
    if (::connect(Socket, reinterpret_cast<sockaddr*>(&Addr), Length) != 0 && errno != EINPROGRESS) {
        int Error = errno;
        ::close(Socket);
        throw std::system_error(Error, std::generic_category(), "connect");
    }
    return Socket;
}

void CloseFd(int& VFd) {
    if (VFd >= 0)
        ::close(VFd);
    VFd = -1;
}

// The SendStream pattern for a whole number of periods, so that every chunk
// starts at pattern position 0.
const std::string& StreamChunk() {
    static const std::string Chunk = [] {
        std::string Result(251 * 1024, '\0');
        for (size_t I = 0; I < Result.size(); ++I)
            Result[I] = static_cast<char>(TLoopbackPeer::StreamByte(I));
        return Result;
    }();
    return Chunk;
}

}  // namespace

// ---------------------------------------------------------------------------
// TLoopbackPeer

TLoopbackPeer::TLoopbackPeer(bool AIPv6) : FIPv6(AIPv6) {
    FListen = BoundLoopbackSocket(AIPv6, SOCK_NONBLOCK, FPort);
    FStopEvent = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    FReleaseEvent = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE);
    if (::listen(FListen, 16) != 0 || FStopEvent < 0 || FReleaseEvent < 0) {
        int Error = errno;
        CloseFd(FListen);
        CloseFd(FStopEvent);
        CloseFd(FReleaseEvent);
        throw std::system_error(Error, std::generic_category(), "TLoopbackPeer");
    }
}

TLoopbackPeer::~TLoopbackPeer() {
    Stop();
    CloseFd(FListen);
    CloseFd(FStopEvent);
    CloseFd(FReleaseEvent);
}

TLoopbackPeer& TLoopbackPeer::AddStep(TStep AStep) {
    if (FThread.joinable())
        throw std::logic_error("TLoopbackPeer: steps must be added before Start");
    FSteps.push_back(std::move(AStep));
    return *this;
}

TLoopbackPeer& TLoopbackPeer::Send(std::string_view ABytes) {
    return AddStep([this, Bytes = std::string(ABytes)] { SendBytes(Bytes.data(), Bytes.size()); });
}

TLoopbackPeer& TLoopbackPeer::SendInPieces(std::string_view ABytes, size_t APieceSize, int APauseMS) {
    return AddStep([this, Bytes = std::string(ABytes), APieceSize, APauseMS] {
        for (size_t Pos = 0; Pos < Bytes.size(); Pos += APieceSize) {
            if (Pos > 0)
                Await(-1, 0, APauseMS);
            SendBytes(Bytes.data() + Pos, std::min(APieceSize, Bytes.size() - Pos));
        }
    });
}

TLoopbackPeer& TLoopbackPeer::SendStream(uint64_t ATotalBytes) {
    return AddStep([this, ATotalBytes] {
        const std::string& Chunk = StreamChunk();
        for (uint64_t Left = ATotalBytes; Left > 0;) {
            size_t Length = static_cast<size_t>(std::min<uint64_t>(Left, Chunk.size()));
            SendBytes(Chunk.data(), Length);
            Left -= Length;
        }
    });
}

TLoopbackPeer& TLoopbackPeer::Stall(int AMS) {
    return AddStep([this, AMS] { Await(-1, 0, AMS); });
}

TLoopbackPeer& TLoopbackPeer::Hold() {
    return AddStep([this] {
        if (!Await(FReleaseEvent, POLLIN, FTimeoutMS))
            Fail("Hold: not released in time");
        eventfd_t Value;
        ::eventfd_read(FReleaseEvent, &Value);
    });
}

TLoopbackPeer& TLoopbackPeer::Expect(size_t AByteCount) {
    return AddStep([this, AByteCount] {
        ReadUntil([this, AByteCount](const std::string& AData) {
            return AData.size() - FCursor >= AByteCount ? FCursor + AByteCount : std::string::npos;
        }, "Expect(" + std::to_string(AByteCount) + ")");
    });
}

TLoopbackPeer& TLoopbackPeer::ExpectLine() { return ExpectUntil("\n"); }

TLoopbackPeer& TLoopbackPeer::ExpectUntil(std::string_view ADelimiter) {
    return AddStep([this, Delimiter = std::string(ADelimiter)] {
        ReadUntil([this, &Delimiter](const std::string& AData) {
            size_t Pos = AData.find(Delimiter, FCursor);
            return Pos == std::string::npos ? Pos : Pos + Delimiter.size();
        }, "ExpectUntil(\"" + Delimiter + "\")");
    });
}

TLoopbackPeer& TLoopbackPeer::ExpectClose() {
    return AddStep([this] {
        while (ReadSome("ExpectClose"))
            ;
        CloseSocket();
    });
}

TLoopbackPeer& TLoopbackPeer::Close() {
    return AddStep([this] {
        RequireConnection("Close");
        ::shutdown(FSocket, SHUT_WR);
        // Unread bytes would turn the close into a reset.
        DrainAvailable();
        CloseSocket();
    });
}

TLoopbackPeer& TLoopbackPeer::Reset() {
    return AddStep([this] {
        RequireConnection("Reset");
        linger Value{1, 0};
        ::setsockopt(FSocket, SOL_SOCKET, SO_LINGER, &Value, sizeof Value);
        CloseSocket();
    });
}

TLoopbackPeer& TLoopbackPeer::NextConnection() {
    return AddStep([this] {
        FinishConnection();
        AcceptNext();
    });
}

void TLoopbackPeer::Start() {
    if (FThread.joinable())
        throw std::logic_error("TLoopbackPeer: already started");
    FThread = std::thread([this] { Run(); });
}

bool TLoopbackPeer::Wait(int AMS) {
    {
        std::unique_lock Lock(FLock);
        if (!FChanged.wait_for(Lock, std::chrono::milliseconds(AMS), [this] { return FDone; }))
            return false;
    }
    if (FThread.joinable())
        FThread.join();
    return true;
}

void TLoopbackPeer::Stop() {
    ::eventfd_write(FStopEvent, 1);
    if (FThread.joinable())
        FThread.join();
}

void TLoopbackPeer::Release() { ::eventfd_write(FReleaseEvent, 1); }

std::string TLoopbackPeer::Received() const {
    std::lock_guard Lock(FLock);
    std::string Result;
    for (const std::string& Connection : FReceived)
        Result += Connection;
    return Result;
}

std::string TLoopbackPeer::Received(int AConnection) const {
    std::lock_guard Lock(FLock);
    return FReceived.at(static_cast<size_t>(AConnection));
}

bool TLoopbackPeer::WaitForReceived(size_t AByteCount, int AMS) const {
    auto Enough = [this, AByteCount] {
        size_t Total = 0;
        for (const std::string& Connection : FReceived)
            Total += Connection.size();
        return Total >= AByteCount;
    };
    std::unique_lock Lock(FLock);
    return FChanged.wait_for(Lock, std::chrono::milliseconds(AMS), Enough);
}

int TLoopbackPeer::Accepted() const {
    std::lock_guard Lock(FLock);
    return static_cast<int>(FReceived.size());
}

std::string TLoopbackPeer::Error() const {
    std::lock_guard Lock(FLock);
    return FError;
}

void TLoopbackPeer::Run() {
    std::string Error;
    try {
        AcceptNext();
        for (const TStep& Step : FSteps)
            Step();
        FinishConnection();
    } catch (const TStopped&) {
    } catch (const std::exception& E) {
        Error = E.what();
    }
    CloseSocket();
    {
        std::lock_guard Lock(FLock);
        FError = Error;
        FDone = true;
    }
    FChanged.notify_all();
}

// Waits up to AMS ms (negative: forever) until AFd (ignored when negative)
// reports AEvents; false when the time ran out. Throws TStopped on Stop.
bool TLoopbackPeer::Await(int AFd, short AEvents, int AMS) {
    pollfd Fds[2] = {{FStopEvent, POLLIN, 0}, {AFd, AEvents, 0}};
    int Count;
    do
        Count = ::poll(Fds, 2, AMS);
    while (Count < 0 && errno == EINTR);
    if (Count < 0)
        FailErrno("poll");
    if (Fds[0].revents)
        throw TStopped();
    return Count > 0;
}

void TLoopbackPeer::AcceptNext() {
    for (;;) {
        if (!Await(FListen, POLLIN, FTimeoutMS))
            Fail("no client connected in time");
        int Socket = ::accept4(FListen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (Socket >= 0) {
            FSocket = Socket;
            FCursor = 0;
            break;
        }
        if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED)
            FailErrno("accept");
    }
    {
        std::lock_guard Lock(FLock);
        FReceived.emplace_back();
    }
    FChanged.notify_all();
}

void TLoopbackPeer::RequireConnection(const char* AWhat) {
    if (FSocket < 0)
        Fail(std::string(AWhat) + ": the connection is already closed");
}

void TLoopbackPeer::SendBytes(const char* AData, size_t ALength) {
    RequireConnection("Send");
    while (ALength > 0) {
        ssize_t Count = ::send(FSocket, AData, ALength, MSG_NOSIGNAL);
        if (Count >= 0) {
            AData += Count;
            ALength -= static_cast<size_t>(Count);
        } else if (errno == EAGAIN) {
            if (!Await(FSocket, POLLOUT, FTimeoutMS))
                Fail("Send: the client took nothing in time");
        } else if (errno != EINTR) {
            FailErrno("Send");
        }
    }
}

// Receives what is there, waiting up to Timeout for something; false when
// the client closed.
bool TLoopbackPeer::ReadSome(const std::string& AWhat) {
    RequireConnection(AWhat.c_str());
    char Buffer[65536];
    for (;;) {
        ssize_t Count = ::recv(FSocket, Buffer, sizeof Buffer, 0);
        if (Count >= 0) {
            Record(Buffer, static_cast<size_t>(Count));
            return Count > 0;
        }
        if (errno == EAGAIN) {
            if (!Await(FSocket, POLLIN, FTimeoutMS))
                Fail(AWhat + ": the client sent nothing in time");
        } else if (errno != EINTR) {
            FailErrno(AWhat);
        }
    }
}

// Reads until AEnd, given the current connection's bytes, returns the end
// position of what the step consumes (npos: not there yet).
void TLoopbackPeer::ReadUntil(const std::function<size_t(const std::string&)>& AEnd, const std::string& AWhat) {
    for (;;) {
        size_t End;
        {
            std::lock_guard Lock(FLock);
            End = AEnd(FReceived.back());
        }
        if (End != std::string::npos) {
            FCursor = End;
            return;
        }
        if (!ReadSome(AWhat))
            Fail(AWhat + ": the client closed the connection");
    }
}

void TLoopbackPeer::DrainAvailable() {
    char Buffer[65536];
    ssize_t Count;
    while ((Count = ::recv(FSocket, Buffer, sizeof Buffer, 0)) > 0)
        Record(Buffer, static_cast<size_t>(Count));
}

// Ends a connection that the steps left open: reads until the client closes
// it (at most Timeout; a reset is as good as a close), then closes.
void TLoopbackPeer::FinishConnection() {
    if (FSocket < 0)
        return;
    try {
        while (ReadSome("waiting for the client to close"))
            ;
    } catch (const TScriptFailure&) {
    }
    CloseSocket();
}

void TLoopbackPeer::CloseSocket() { CloseFd(FSocket); }

void TLoopbackPeer::Record(const char* AData, size_t ALength) {
    if (ALength == 0)
        return;
    {
        std::lock_guard Lock(FLock);
        FReceived.back().append(AData, ALength);
    }
    FChanged.notify_all();
}

// ---------------------------------------------------------------------------
// TRefusingPort

TRefusingPort::TRefusingPort(bool AIPv6) : FIPv6(AIPv6) { FSocket = BoundLoopbackSocket(AIPv6, 0, FPort); }

TRefusingPort::~TRefusingPort() { CloseFd(FSocket); }

// ---------------------------------------------------------------------------
// TUnansweredListener

// With a backlog of 0 the accept queue holds one connection; once it is full
// the system drops connection requests (the client keeps retrying its SYN).
// Fill it with connects until one stays pending: from then on every connect
// hangs.
TUnansweredListener::TUnansweredListener(bool AIPv6) : FIPv6(AIPv6) {
    FListen = BoundLoopbackSocket(AIPv6, 0, FPort);
    if (::listen(FListen, 0) != 0) {
        int Error = errno;
        CloseFd(FListen);
        throw std::system_error(Error, std::generic_category(), "listen");
    }
    try {
        for (int Attempt = 0; Attempt < 16; ++Attempt) {
            FFillers.push_back(StartConnect(AIPv6, FPort));
            pollfd Fd{FFillers.back(), POLLOUT, 0};
            if (::poll(&Fd, 1, 200) == 0)
                return;  // pending: the queue is full
        }
        throw std::runtime_error("TUnansweredListener: every connect completed");
    } catch (...) {
        for (int& Filler : FFillers)
            CloseFd(Filler);
        CloseFd(FListen);
        throw;
    }
}

TUnansweredListener::~TUnansweredListener() {
    for (int& Filler : FFillers)
        CloseFd(Filler);
    CloseFd(FListen);
}

int ListenOnLoopback(uint16_t& VPort) {
    const int Socket = BoundLoopbackSocket(false, 0, VPort);
    if (::listen(Socket, 4) != 0) {
        ::close(Socket);
        ThrowErrno("listen");
    }
    return Socket;
}
