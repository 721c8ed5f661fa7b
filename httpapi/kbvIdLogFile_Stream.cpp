#include "httpapi/kbvIdLogFile_Stream.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/Exceptions.h"
#include "core/Format.h"

namespace {

std::string SystemErrorText(int AError) {
    char Buffer[256];
    return strerror_r(AError, Buffer, sizeof Buffer);  // the GNU variant returns the text
}

[[noreturn]] void RaiseWriteError(int AError) {
    throw EStreamError(Format("Stream write error. %s", SystemErrorText(AError)));
}

// Holds the file's advisory lock for one write; EINTR is retried.
class TFileLock {
public:
    explicit TFileLock(int AHandle) : FHandle(AHandle) {
        while (::flock(FHandle, LOCK_EX) != 0)
            if (errno != EINTR)
                RaiseWriteError(errno);
    }
    ~TFileLock() { ::flock(FHandle, LOCK_UN); }
    TFileLock(const TFileLock&) = delete;
    TFileLock& operator=(const TFileLock&) = delete;

private:
    int FHandle;
};

}  // namespace

TkbvAppendFileStream::TkbvAppendFileStream(const std::string& AFileName) : FFileName(AFileName) {
    // No O_TRUNC: another writer may have created the file a moment ago.
    do
        FHandle = ::open(AFileName.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    while (FHandle < 0 && errno == EINTR);
    if (FHandle < 0)
        throw EFCreateError(Format("Cannot create file \"%s\". %s", AFileName, SystemErrorText(errno)));
}

TkbvAppendFileStream::~TkbvAppendFileStream() { ::close(FHandle); }

int64_t TkbvAppendFileStream::Read(void* Buffer, int64_t Count) {
    ssize_t Got;
    do
        Got = ::read(FHandle, Buffer, static_cast<size_t>(Count));
    while (Got < 0 && errno == EINTR);
    if (Got < 0)
        throw EStreamError(Format("Stream read error. %s", SystemErrorText(errno)));
    return Got;
}

// A regular file takes a write whole unless the disk fills or a signal
// interrupts it; the rest then follows while the lock still keeps others out.
int64_t TkbvAppendFileStream::Write(const void* Buffer, int64_t Count) {
    if (Count <= 0)
        return 0;
    TFileLock Lock(FHandle);
    const auto* Bytes = static_cast<const char*>(Buffer);
    int64_t Done = 0;
    while (Done < Count) {
        ssize_t Put = ::write(FHandle, Bytes + Done, static_cast<size_t>(Count - Done));
        if (Put < 0 && errno == EINTR)
            continue;
        if (Put <= 0)
            RaiseWriteError(Put < 0 ? errno : ENOSPC);
        Done += Put;
    }
    return Done;
}

int64_t TkbvAppendFileStream::Seek(int64_t Offset, TSeekOrigin Origin) {
    int Whence = Origin == soBeginning ? SEEK_SET : Origin == soCurrent ? SEEK_CUR : SEEK_END;
    off_t Result = ::lseek(FHandle, Offset, Whence);
    if (Result < 0)
        throw EStreamError(Format("Stream seek error. %s", SystemErrorText(errno)));
    return Result;
}
