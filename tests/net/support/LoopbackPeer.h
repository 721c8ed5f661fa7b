// In-process TCP peers on the loopback interface, for tests that need exact
// control of the other end: a scripted peer (partial lines, stalls, graceful
// closes and resets at any point, bulk data), a port that refuses
// connections, and a listener whose connects never complete.
//
// These talk to the system directly, not through the socket stack, so that
// they can test it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// A blocking socket listening on 127.0.0.1 at a free port, which VPort
// receives: for servers of the tests' own (they close it).
int ListenOnLoopback(uint16_t& VPort);

// A scripted peer. It listens on 127.0.0.1 (or ::1) at a free port from
// construction; Start runs the script on a thread of its own: accept the
// first connection, then the steps in order. Every wait of the script is
// bounded by Timeout, and the destructor stops the script wherever it is.
//
//   TLoopbackPeer Peer;
//   Peer.ExpectLine().SendInPieces("HTTP/1.1 200 OK\r\n", 4, 20).Send("Content-Le").Close();
//   Peer.Start();
//   ... connect a client to Peer.Host(), Peer.Port() ...
//   EXPECT_TRUE(Peer.Wait(5000));
//   EXPECT_EQ(Peer.Error(), "");
//   EXPECT_EQ(Peer.Received(), "GET / HTTP/1.1\r\n");
//
// When the steps of a connection are done and it is still open, the peer
// reads on (recording) until the client closes it, then closes its side too.
// A step that fails (the client closed or reset, a wait timed out) ends the
// script and is reported by Error.
class TLoopbackPeer {
public:
    explicit TLoopbackPeer(bool AIPv6 = false);
    ~TLoopbackPeer();
    TLoopbackPeer(const TLoopbackPeer&) = delete;
    TLoopbackPeer& operator=(const TLoopbackPeer&) = delete;

    const char* Host() const { return FIPv6 ? "::1" : "127.0.0.1"; }
    uint16_t Port() const { return FPort; }
    bool IPv6() const { return FIPv6; }

    // Script steps; add them before Start.
    TLoopbackPeer& Send(std::string_view ABytes);
    // APieceSize bytes per send, APauseMS between the pieces.
    TLoopbackPeer& SendInPieces(std::string_view ABytes, size_t APieceSize, int APauseMS);
    // ATotalBytes of the StreamByte pattern, as fast as the client takes them.
    TLoopbackPeer& SendStream(uint64_t ATotalBytes);
    // Does nothing for AMS ms.
    TLoopbackPeer& Stall(int AMS);
    // Does nothing until the test calls Release (at most Timeout).
    TLoopbackPeer& Hold();
    // Reads from the client until it has sent AByteCount more bytes; until
    // the next LF; until ADelimiter (inclusive); until it closes.
    TLoopbackPeer& Expect(size_t AByteCount);
    TLoopbackPeer& ExpectLine();
    TLoopbackPeer& ExpectUntil(std::string_view ADelimiter);
    TLoopbackPeer& ExpectClose();
    // Graceful close: everything sent arrives, then the end of the stream.
    TLoopbackPeer& Close();
    // Abortive close (SO_LINGER 0): the client gets a reset.
    TLoopbackPeer& Reset();
    // Ends this connection as at the end of the script, accepts the next one;
    // the following steps are for it.
    TLoopbackPeer& NextConnection();

    // Bound of each wait of the script: the accept, an Expect, a Hold, a send
    // that makes no progress. 10000 ms unless set (before Start).
    void SetTimeout(int AMS) { FTimeoutMS = AMS; }
    void Start();
    // Waits up to AMS ms for the script to end; true when it has.
    bool Wait(int AMS);
    // Ends the script now (prompt even in the middle of a stall or a hold).
    void Stop();
    // Lets one Hold go on (one given before the Hold is reached is kept).
    void Release();

    // Everything the client sent, on all connections / on the n-th (from 0).
    std::string Received() const;
    std::string Received(int AConnection) const;
    // Waits up to AMS ms until Received() has at least AByteCount bytes.
    bool WaitForReceived(size_t AByteCount, int AMS) const;
    int Accepted() const;
    // Why the script ended early; "" when it went as written (or was stopped).
    std::string Error() const;

    // Byte AIndex of the SendStream pattern.
    static uint8_t StreamByte(uint64_t AIndex) { return static_cast<uint8_t>(AIndex % 251); }

private:
    using TStep = std::function<void()>;
    TLoopbackPeer& AddStep(TStep AStep);
    void Run();
    // Script-thread helpers; they throw to end the script.
    bool Await(int AFd, short AEvents, int AMS);
    void AcceptNext();
    void RequireConnection(const char* AWhat);
    void SendBytes(const char* AData, size_t ALength);
    bool ReadSome(const std::string& AWhat);
    void ReadUntil(const std::function<size_t(const std::string&)>& AEnd, const std::string& AWhat);
    void DrainAvailable();
    void FinishConnection();
    void CloseSocket();
    void Record(const char* AData, size_t ALength);

    bool FIPv6;
    int FListen = -1;
    uint16_t FPort = 0;
    int FStopEvent = -1;     // eventfd, readable once Stop was called
    int FReleaseEvent = -1;  // eventfd semaphore, one count per Release
    int FTimeoutMS = 10000;
    std::vector<TStep> FSteps;
    std::thread FThread;

    // Used by the script thread only.
    int FSocket = -1;
    size_t FCursor = 0;  // bytes of the current connection consumed by Expect steps

    mutable std::mutex FLock;
    mutable std::condition_variable FChanged;
    std::vector<std::string> FReceived;  // one per accepted connection
    std::string FError;
    bool FDone = false;
};

// A loopback port that refuses connections (ECONNREFUSED): a socket bound to
// it but not listening, kept so that nothing else takes the port meanwhile.
class TRefusingPort {
public:
    explicit TRefusingPort(bool AIPv6 = false);
    ~TRefusingPort();
    TRefusingPort(const TRefusingPort&) = delete;
    TRefusingPort& operator=(const TRefusingPort&) = delete;

    const char* Host() const { return FIPv6 ? "::1" : "127.0.0.1"; }
    uint16_t Port() const { return FPort; }

private:
    bool FIPv6;
    int FSocket = -1;
    uint16_t FPort = 0;
};

// A loopback listener that never accepts and whose accept queue is kept full,
// so that the system drops further connection requests: a connect to it
// neither completes nor fails (for connect time-out tests).
class TUnansweredListener {
public:
    explicit TUnansweredListener(bool AIPv6 = false);
    ~TUnansweredListener();
    TUnansweredListener(const TUnansweredListener&) = delete;
    TUnansweredListener& operator=(const TUnansweredListener&) = delete;

    const char* Host() const { return FIPv6 ? "::1" : "127.0.0.1"; }
    uint16_t Port() const { return FPort; }

private:
    bool FIPv6;
    int FListen = -1;
    uint16_t FPort = 0;
    std::vector<int> FFillers;  // the connections that fill the queue
};
