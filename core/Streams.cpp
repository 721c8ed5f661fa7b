#include "core/Streams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <vector>

#include "core/Exceptions.h"
#include "core/Format.h"

namespace {
[[noreturn]] void RaiseSystemError(const char* AWhat) {
    throw EStreamError(Format("%s. %s", AWhat, SystemErrorText(errno)));
}

// The position Seek would move to; raises when it is before the start or
// does not fit.
int64_t SeekTarget(int64_t Offset, TSeekOrigin Origin, int64_t Position, int64_t Size) {
    int64_t Base = Origin == soBeginning ? 0 : Origin == soCurrent ? Position : Size;
    int64_t Target;
    if (__builtin_add_overflow(Base, Offset, &Target) || Target < 0)
        throw EStreamError("Stream seek error");
    return Target;
}
}  // namespace

// TStream

int64_t TStream::Size() {
    int64_t Current = Seek(0, soCurrent);
    int64_t End = Seek(0, soEnd);
    Seek(Current, soBeginning);
    return End;
}

void TStream::SetSize(int64_t) {}

// Loops because a stream may hand out fewer bytes than are left.
void TStream::ReadBuffer(void* Buffer, int64_t Count) {
    auto* Bytes = static_cast<char*>(Buffer);
    while (Count > 0) {
        int64_t Done = Read(Bytes, Count);
        if (Done <= 0)
            throw EStreamError("Stream read error");
        Bytes += Done;
        Count -= Done;
    }
    if (Count < 0)
        throw EStreamError("Stream read error");
}

void TStream::WriteBuffer(const void* Buffer, int64_t Count) {
    auto* Bytes = static_cast<const char*>(Buffer);
    while (Count > 0) {
        int64_t Done = Write(Bytes, Count);
        if (Done <= 0)
            throw EStreamError("Stream write error");
        Bytes += Done;
        Count -= Done;
    }
    if (Count < 0)
        throw EStreamError("Stream write error");
}

int64_t TStream::CopyFrom(TStream& Source, int64_t Count) {
    if (Count <= 0) {
        Source.SetPosition(0);
        Count = Source.Size();
    }
    constexpr int64_t MaxChunk = 64 * 1024;
    std::vector<char> Buffer(static_cast<size_t>(std::min(Count, MaxChunk)));
    for (int64_t Left = Count; Left > 0;) {
        int64_t Chunk = std::min(Left, MaxChunk);
        Source.ReadBuffer(Buffer.data(), Chunk);
        WriteBuffer(Buffer.data(), Chunk);
        Left -= Chunk;
    }
    return Count;
}

// TMemoryStream

int64_t TMemoryStream::Read(void* Buffer, int64_t Count) {
    int64_t Available = Size() - FPosition;
    if (Count <= 0 || Available <= 0)
        return 0;
    Count = std::min(Count, Available);
    std::memcpy(Buffer, FData.data() + FPosition, static_cast<size_t>(Count));
    FPosition += Count;
    return Count;
}

int64_t TMemoryStream::Write(const void* Buffer, int64_t Count) {
    if (Count <= 0)
        return 0;
    int64_t End;
    if (__builtin_add_overflow(FPosition, Count, &End))
        throw EStreamError("Out of memory while expanding memory stream");
    if (End > Size())
        SetSize(End);
    std::memcpy(FData.data() + FPosition, Buffer, static_cast<size_t>(Count));
    FPosition = End;
    return Count;
}

int64_t TMemoryStream::Seek(int64_t Offset, TSeekOrigin Origin) {
    FPosition = SeekTarget(Offset, Origin, FPosition, Size());
    return FPosition;
}

void TMemoryStream::SetSize(int64_t NewSize) {
    if (NewSize < 0)
        throw EStreamError("Stream size error");
    try {
        FData.resize(static_cast<size_t>(NewSize));  // grows geometrically
    } catch (const std::length_error&) {
        throw EStreamError("Out of memory while expanding memory stream");
    } catch (const std::bad_alloc&) {
        throw EStreamError("Out of memory while expanding memory stream");
    }
    FPosition = std::min(FPosition, NewSize);
}

void TMemoryStream::Clear() {
    std::string().swap(FData);
    FPosition = 0;
}

void TMemoryStream::LoadFromStream(TStream& Source) {
    Source.SetPosition(0);
    int64_t Count = Source.Size();
    SetSize(Count);
    Source.ReadBuffer(FData.data(), Count);
    FPosition = 0;
}

void TMemoryStream::LoadFromFile(const std::string& AFileName) {
    TFileStream File(AFileName, fmOpenRead | fmShareDenyWrite);
    LoadFromStream(File);
}

void TMemoryStream::SaveToStream(TStream& Dest) { Dest.WriteBuffer(FData.data(), Size()); }

void TMemoryStream::SaveToFile(const std::string& AFileName) {
    TFileStream File(AFileName, fmCreate);
    SaveToStream(File);
}

// TStringStream

TStringStream::TStringStream(std::string AString) { FData = std::move(AString); }

std::string TStringStream::ReadString(int64_t Count) {
    int64_t Length = std::clamp<int64_t>(Size() - FPosition, 0, std::max<int64_t>(Count, 0));
    std::string Result(static_cast<size_t>(Length), '\0');
    Read(Result.data(), Length);
    return Result;
}

// TFileStream

TFileStream::TFileStream(const std::string& AFileName, uint16_t Mode, unsigned Rights)
    : FFileName(AFileName) {
    const bool Append = Mode == fmAppend;
    const bool Create = Append || (Mode & fmCreate) == fmCreate;
    int Flags = O_CLOEXEC;
    if (Append)
        Flags |= O_RDWR | O_CREAT | O_APPEND;  // no O_TRUNC: another writer may have just made it
    else if (Create)
        Flags |= O_RDWR | O_CREAT | O_TRUNC;
    else if ((Mode & 3) == fmOpenWrite)
        Flags |= O_WRONLY;
    else if ((Mode & 3) == fmOpenReadWrite)
        Flags |= O_RDWR;
    else
        Flags |= O_RDONLY;

    do
        FHandle = ::open(AFileName.c_str(), Flags, static_cast<mode_t>(Rights));
    while (FHandle < 0 && errno == EINTR);
    int Error = FHandle < 0 ? errno : 0;
    // Reading a directory opens fine here but fails later; refuse it now.
    struct stat Info;
    if (!Error && ::fstat(FHandle, &Info) == 0 && S_ISDIR(Info.st_mode)) {
        Error = EISDIR;
        ::close(FHandle);
    }
    if (Error) {
        if (Create)
            throw EFCreateError(Format("Cannot create file \"%s\". %s", AFileName, SystemErrorText(Error)));
        throw EFOpenError(Format("Cannot open file \"%s\". %s", AFileName, SystemErrorText(Error)));
    }
}

TFileStream::~TFileStream() { ::close(FHandle); }

// Reads until Count bytes or the end of the file, so a short result means the end.
int64_t TFileStream::Read(void* Buffer, int64_t Count) {
    auto* Bytes = static_cast<char*>(Buffer);
    int64_t Done = 0;
    while (Done < Count) {
        ssize_t Got = ::read(FHandle, Bytes + Done, static_cast<size_t>(Count - Done));
        if (Got < 0 && errno == EINTR)
            continue;
        if (Got < 0)
            RaiseSystemError("Stream read error");
        if (Got == 0)
            break;
        Done += Got;
    }
    return Done;
}

int64_t TFileStream::Write(const void* Buffer, int64_t Count) {
    auto* Bytes = static_cast<const char*>(Buffer);
    int64_t Done = 0;
    while (Done < Count) {
        ssize_t Put = ::write(FHandle, Bytes + Done, static_cast<size_t>(Count - Done));
        if (Put < 0 && errno == EINTR)
            continue;
        if (Put < 0)
            RaiseSystemError("Stream write error");
        if (Put == 0)
            break;
        Done += Put;
    }
    return Done;
}

int64_t TFileStream::Seek(int64_t Offset, TSeekOrigin Origin) {
    int Whence = Origin == soBeginning ? SEEK_SET : Origin == soCurrent ? SEEK_CUR : SEEK_END;
    off_t Result = ::lseek(FHandle, Offset, Whence);
    if (Result < 0)
        RaiseSystemError("Stream seek error");
    return Result;
}

int64_t TFileStream::Size() {
    struct stat Info;
    if (::fstat(FHandle, &Info) != 0)
        RaiseSystemError("Stream size error");
    return Info.st_size;
}

void TFileStream::SetSize(int64_t NewSize) {
    if (::ftruncate(FHandle, NewSize) != 0)
        RaiseSystemError("Stream size error");
    if (Position() > NewSize)
        SetPosition(NewSize);
}
