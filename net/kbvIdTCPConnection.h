// The connection component: an IO handler (its own or one given to it) and
// the intercept that sees its traffic.
#pragma once

#include <string>
#include <type_traits>

#include "core/StringList.h"
#include "net/kbvIdComponent.h"
#include "net/kbvIdIOHandler.h"
#include "net/kbvIdIOHandlerSocket.h"

class EIdReplyError : public EIdException {
public:
    using EIdException::EIdException;
};

// A protocol reply that reports a failure: its code beside the message.
class EIdReplyRFCError : public EIdReplyError {
public:
    EIdReplyRFCError(int AErrorCode, const std::string& AReplyMessage)
        : EIdReplyError(AReplyMessage), FErrorCode(AErrorCode) {}
    int ErrorCode() const { return FErrorCode; }

protected:
    int FErrorCode;
};

class TIdTCPConnection : public TIdComponent {
public:
    explicit TIdTCPConnection(TComponent* AOwner = nullptr);
    ~TIdTCPConnection() override;  // closes the IO handler; frees a managed one

    TIdIOHandler* IOHandler() const { return FIOHandler; }
    // Frees a managed previous handler; the new one reports its work through
    // this connection and takes the connection's intercept.
    virtual void SetIOHandler(TIdIOHandler* AValue);
    // The IO handler's intercept when there is a handler, else the connection's own.
    TIdConnectionIntercept* Intercept() const;
    virtual void SetIntercept(TIdConnectionIntercept* AValue);
    // The IO handler when it is a socket handler.
    TIdIOHandlerSocket* Socket() const { return FSocket; }
    bool ManagedIOHandler() const { return FManagedIOHandler; }
    void SetManagedIOHandler(bool AValue) { FManagedIOHandler = AValue; }

    // Makes a managed IO handler: of the default class, or of the newest
    // registered class deriving from TBase.
    template <class TBase = TIdIOHandler>
    void CreateIOHandler() {
        CheckNotConnected();
        TIdIOHandler* Handler;
        if constexpr (std::is_same_v<TBase, TIdIOHandler>)
            Handler = TIdIOHandler::MakeDefaultIOHandler(this);
        else
            Handler = TIdIOHandler::MakeIOHandler<TBase>(this);
        SetIOHandler(Handler);
        FManagedIOHandler = true;
    }

    virtual bool Connected();
    // Tells the peer when connected (errors ignored), then closes the handler.
    virtual void Disconnect(bool ANotifyPeer = true);
    void CheckForGracefulDisconnect(bool ARaiseExceptionIfDisconnected = true);
    // Each "name=value" line as "name: value", then an empty line, sent as one block.
    void WriteHeader(const TStringList& AHeader);

    const TNotifyEvent& OnDisconnected() const { return FOnDisconnected; }
    void SetOnDisconnected(TNotifyEvent AValue) { FOnDisconnected = std::move(AValue); }

protected:
    virtual void NotifyDisconnected();
    // Protocols override it to send their closing command.
    virtual void DisconnectNotifyPeer() {}
    void Notification(TComponent* AComponent, TOperation Operation) override;
    // Raises "Cannot change a connected IOHandler." while connected.
    void CheckNotConnected();

    TIdConnectionIntercept* FIntercept = nullptr;
    TIdIOHandler* FIOHandler = nullptr;  // owned only while FManagedIOHandler is set
    bool FManagedIOHandler = false;
    TNotifyEvent FOnDisconnected;
    TIdIOHandlerSocket* FSocket = nullptr;
};
