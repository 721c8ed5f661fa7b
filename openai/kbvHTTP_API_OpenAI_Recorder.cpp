#include "openai/kbvHTTP_API_OpenAI_Recorder.h"

#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "core/Exceptions.h"

namespace {

const char* const NoMicrophone = "MCI error. No microphone connected to the computer?";
const char* const FileError = "MCI error";

constexpr unsigned Rate = 16000;
constexpr unsigned Channels = 1;
constexpr unsigned BytesPerSample = 2;
constexpr unsigned BlockAlign = Channels * BytesPerSample;
constexpr unsigned LatencyUs = 100000;
constexpr snd_pcm_uframes_t PeriodFrames = Rate / 100;  // 10 ms
constexpr uint32_t HeaderSize = 44;
// Reads that bring nothing in a row before the device counts as gone; keeps
// a device that overruns on every read from looping forever.
constexpr int MaxStalls = 100;

// libasound prints its errors to stderr; the callers get our fixed messages.
void IgnoreAlsaMessage(const char*, int, const char*, int, const char*, ...) {}

void SilenceAlsa() {
    static std::once_flag Once;
    std::call_once(Once, [] { snd_lib_error_set_handler(IgnoreAlsaMessage); });
}

class TPCMCapture {
public:
    explicit TPCMCapture(const std::string& ADevice) {
        if (snd_pcm_open(&FHandle, ADevice.c_str(), SND_PCM_STREAM_CAPTURE, 0) < 0) {
            FHandle = nullptr;
            throw Exception(NoMicrophone);
        }
        // Soft resampling lets plug devices convert from whatever the card has.
        if (snd_pcm_set_params(FHandle, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, Channels, Rate, 1,
                               LatencyUs) < 0)
            throw Exception(NoMicrophone);
    }
    ~TPCMCapture() {
        if (FHandle)
            snd_pcm_close(FHandle);
    }
    TPCMCapture(const TPCMCapture&) = delete;
    TPCMCapture& operator=(const TPCMCapture&) = delete;

    // Fills AFrames frames of ABuffer, recovering from overruns.
    void Read(int16_t* ABuffer, snd_pcm_uframes_t AFrames) {
        snd_pcm_uframes_t Done = 0;
        int Stalls = 0;
        while (Done < AFrames) {
            snd_pcm_sframes_t Got = snd_pcm_readi(FHandle, ABuffer + Done * Channels, AFrames - Done);
            if (Got < 0 && snd_pcm_recover(FHandle, static_cast<int>(Got), 1) < 0)
                throw Exception(NoMicrophone);
            if (Got > 0) {
                Done += static_cast<snd_pcm_uframes_t>(Got);
                Stalls = 0;
            } else if (++Stalls > MaxStalls) {
                throw Exception(NoMicrophone);
            }
        }
    }

private:
    snd_pcm_t* FHandle = nullptr;
};

// The output file; unless Commit() is called, the destructor removes it when
// it was created here and empties it otherwise, so no partial WAV remains.
class TWaveFile {
public:
    explicit TWaveFile(const std::string& AFileName) : FFileName(AFileName) {
        // O_EXCL first tells a file made here from the caller's own; a
        // file removed between the two opens is simply tried again.
        for (int Attempt = 0; Attempt < 3 && FHandle < 0; ++Attempt) {
            FHandle = ::open(AFileName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (FHandle >= 0) {
                FCreated = true;
            } else if (errno == EEXIST) {
                FHandle = ::open(AFileName.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
                if (FHandle < 0 && errno != ENOENT)
                    break;
            } else if (errno != EINTR) {
                break;
            }
        }
        if (FHandle < 0)
            throw Exception(FileError);
    }
    ~TWaveFile() {
        if (FHandle < 0)
            return;
        if (!FCommitted) {
            if (FCreated)
                ::unlink(FFileName.c_str());
            else
                (void)::ftruncate(FHandle, 0);
        }
        ::close(FHandle);
    }
    TWaveFile(const TWaveFile&) = delete;
    TWaveFile& operator=(const TWaveFile&) = delete;

    void Write(const void* AData, size_t ASize) {
        auto Data = static_cast<const char*>(AData);
        while (ASize > 0) {
            ssize_t Written = ::write(FHandle, Data, ASize);
            if (Written < 0) {
                if (errno == EINTR)
                    continue;
                throw Exception(FileError);
            }
            Data += Written;
            ASize -= static_cast<size_t>(Written);
        }
    }

    // Closes the file; a failing close (a full disk over NFS) still fails.
    void Commit() {
        int Handle = FHandle;
        FHandle = -1;
        if (::close(Handle) != 0 && errno != EINTR) {
            if (FCreated)
                ::unlink(FFileName.c_str());
            else
                (void)::truncate(FFileName.c_str(), 0);
            throw Exception(FileError);
        }
        FCommitted = true;
    }

private:
    std::string FFileName;
    int FHandle = -1;
    bool FCreated = false;
    bool FCommitted = false;
};

void PutUInt16(uint8_t* ATarget, uint16_t AValue) {
    ATarget[0] = static_cast<uint8_t>(AValue);
    ATarget[1] = static_cast<uint8_t>(AValue >> 8);
}

void PutUInt32(uint8_t* ATarget, uint32_t AValue) {
    PutUInt16(ATarget, static_cast<uint16_t>(AValue));
    PutUInt16(ATarget + 2, static_cast<uint16_t>(AValue >> 16));
}

// The canonical RIFF/WAVE header: one PCM fmt chunk, then the data chunk.
std::array<uint8_t, HeaderSize> WaveHeader(uint32_t ADataSize) {
    std::array<uint8_t, HeaderSize> Result{};
    uint8_t* P = Result.data();
    std::memcpy(P, "RIFF", 4);
    PutUInt32(P + 4, HeaderSize - 8 + ADataSize);
    std::memcpy(P + 8, "WAVEfmt ", 8);
    PutUInt32(P + 16, 16);  // fmt chunk size
    PutUInt16(P + 20, 1);   // PCM
    PutUInt16(P + 22, Channels);
    PutUInt32(P + 24, Rate);
    PutUInt32(P + 28, Rate * BlockAlign);
    PutUInt16(P + 32, BlockAlign);
    PutUInt16(P + 34, BytesPerSample * 8);
    std::memcpy(P + 36, "data", 4);
    PutUInt32(P + 40, ADataSize);
    return Result;
}

}  // namespace

void kbvRecordAudio(const std::string& ADevice, const std::string& AFileName, uint32_t ATime) {
    const uint64_t Frames = uint64_t(ATime) * Rate / 1000;
    const uint64_t DataSize = Frames * BlockAlign;
    // The RIFF size field is 32 bits: about 37 hours is the most a WAV holds.
    if (DataSize > UINT32_MAX - (HeaderSize - 8))
        throw Exception(FileError);

    SilenceAlsa();
    // The device before the file: without a microphone no file is touched.
    TPCMCapture Capture(ADevice);
    TWaveFile File(AFileName);
    auto Header = WaveHeader(static_cast<uint32_t>(DataSize));
    File.Write(Header.data(), Header.size());

    std::array<int16_t, PeriodFrames * Channels> Buffer;
    for (uint64_t Left = Frames; Left > 0;) {
        auto Count = static_cast<snd_pcm_uframes_t>(std::min<uint64_t>(Left, PeriodFrames));
        // The null plugin behind test devices never writes the buffer.
        Buffer.fill(0);
        Capture.Read(Buffer.data(), Count);
        File.Write(Buffer.data(), Count * BlockAlign);
        Left -= Count;
    }
    File.Commit();
}
