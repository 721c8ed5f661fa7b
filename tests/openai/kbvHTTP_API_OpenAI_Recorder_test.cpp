#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <tuple>

#include "core/Exceptions.h"
#include "openai/kbvHTTP_API_OpenAI_Recorder.h"

namespace fs = std::filesystem;

namespace {

const std::string NoMicrophone = "MCI error. No microphone connected to the computer?";

std::string ReadFile(const fs::path& APath) {
    std::ifstream Stream(APath, std::ios::binary);
    return {std::istreambuf_iterator<char>(Stream), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& APath, const std::string& AContent) {
    std::ofstream(APath, std::ios::binary) << AContent;
}

uint32_t LittleEndian(const std::string& AData, size_t AOffset, size_t ASize) {
    uint32_t Result = 0;
    for (size_t i = ASize; i-- > 0;)
        Result = Result << 8 | static_cast<uint8_t>(AData.at(AOffset + i));
    return Result;
}

size_t OpenFileCount() {
    return static_cast<size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

// No sound card: the devices come from the test configuration (recorder-asound.conf),
// "default" capturing silence and "testtone_any" the tone file.
class Recorder : public testing::Test {
protected:
    static void SetUpTestSuite() {
        // The system file first: it defines the null plugin the devices sit on.
        ::setenv("ALSA_CONFIG_PATH", "/usr/share/alsa/alsa.conf:" KBV_RECORDER_ALSA_CONF, 1);
    }
    void SetUp() override {
        std::string Template = (fs::temp_directory_path() / "kbv-recorder-XXXXXX").string();
        ASSERT_NE(::mkdtemp(Template.data()), nullptr);
        FDir = Template;
    }
    void TearDown() override { fs::remove_all(FDir); }

    // Runs the recording and returns the message it raised, "" when none.
    static std::string Record(const std::string& ADevice, const fs::path& AFile, uint32_t ATime) {
        try {
            kbvRecordAudio(ADevice, AFile.string(), ATime);
        } catch (const Exception& E) {
            return E.Message();
        }
        return "";
    }

    fs::path FDir;
};

TEST_F(Recorder, DefaultDeviceWritesAnOwnerOnlyWaveOfTheAskedLength) {
    const fs::path File = FDir / "speech.wav";
    const size_t Files = OpenFileCount();
    ASSERT_EQ(Record("default", File, 2500), "");
    EXPECT_EQ(OpenFileCount(), Files);

    const std::string Wave = ReadFile(File);
    ASSERT_EQ(Wave.size(), 80044u);
    EXPECT_EQ(Wave.substr(0, 4) + Wave.substr(8, 8) + Wave.substr(36, 4), "RIFFWAVEfmt data");
    // Offset, size, value: RIFF size, fmt size, PCM, channels, rate, byte rate, block align, bits, data size.
    const std::tuple<size_t, size_t, uint32_t> Fields[] = {{4, 4, 80036}, {16, 4, 16},    {20, 2, 1},
                                                           {22, 2, 1},     {24, 4, 16000}, {28, 4, 32000},
                                                           {32, 2, 2},     {34, 2, 16},    {40, 4, 80000}};
    for (const auto& [Offset, Size, Value] : Fields)
        EXPECT_EQ(LittleEndian(Wave, Offset, Size), Value) << "at " << Offset;
    EXPECT_EQ(Wave.find_first_not_of('\0', 44), std::string::npos) << "silence expected";

    struct stat Info {};
    ASSERT_EQ(::stat(File.c_str(), &Info), 0);
    EXPECT_EQ(Info.st_mode & 07777, 0600u);

    // A file that exists is replaced whole, however long it was.
    WriteFile(File, std::string(100000, 'x'));
    ASSERT_EQ(Record("default", File, 10), "");
    EXPECT_EQ(fs::file_size(File), 44u + 320u);
}

TEST_F(Recorder, ToneDeviceCarriesTheToneBytesExactly) {
    const std::string Tone = ReadFile(KBV_RECORDER_TONE);
    ASSERT_EQ(Tone.size(), 12800u);  // longer than any recording below
    ASSERT_NE(Tone.find_first_not_of('\0'), std::string::npos);
    // Each recording opens the device anew, so each starts at the tone's start.
    for (uint32_t Time : {0u, 1u, 15u, 250u, 399u}) {
        SCOPED_TRACE(Time);
        const fs::path File = FDir / ("tone-" + std::to_string(Time) + ".wav");
        ASSERT_EQ(Record("testtone_any", File, Time), "");
        const std::string Wave = ReadFile(File);
        ASSERT_EQ(Wave.size(), 44u + 32u * Time);
        EXPECT_EQ(LittleEndian(Wave, 40, 4), 32u * Time);
        EXPECT_TRUE(Wave.compare(44, std::string::npos, Tone, 0, 32u * Time) == 0);
    }
}

TEST_F(Recorder, FailuresRaiseTheFixedMessagesAndLeaveNothingOpen) {
    const fs::path Existing = FDir / "existing.wav";
    struct {
        std::string Device;
        fs::path File;
        std::string Message;
        const char* Case;
    } const Cases[] = {
        {"nosuchdevice", FDir / "new.wav", NoMicrophone, "unknown device"},
        {"nosuchdevice", Existing, NoMicrophone, "unknown device, file kept"},
        {"default", FDir / "missing" / "new.wav", "MCI error", "folder missing"},
        {"default", "/dev/full", "MCI error", "disk full"},
    };
    for (const auto& Case : Cases) {
        SCOPED_TRACE(Case.Case);
        WriteFile(Existing, "keep");
        const size_t Files = OpenFileCount();
        EXPECT_EQ(Record(Case.Device, Case.File, 250), Case.Message);
        EXPECT_EQ(OpenFileCount(), Files);
        if (Case.File == Existing) {
            EXPECT_EQ(ReadFile(Existing), "keep") << "the device is opened before the file";
        } else if (Case.File.parent_path() == FDir) {
            EXPECT_FALSE(fs::exists(Case.File));
        }
    }
}

// The file size limit makes the writes fail after the header: the file the
// recording created goes, one that was there is left empty.
TEST_F(Recorder, AFailedWriteLeavesNoPartialWave) {
    const fs::path Created = FDir / "created.wav";
    const fs::path Existing = FDir / "existing.wav";
    WriteFile(Existing, "keep");

    rlimit Saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &Saved), 0);
    auto SavedSignal = std::signal(SIGXFSZ, SIG_IGN);  // write fails with EFBIG instead
    rlimit Limit = Saved;
    Limit.rlim_cur = 1000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &Limit), 0);
    const size_t Files = OpenFileCount();
    const std::string CreatedMessage = Record("default", Created, 2500);
    const std::string ExistingMessage = Record("default", Existing, 2500);
    const size_t FilesAfter = OpenFileCount();
    ::setrlimit(RLIMIT_FSIZE, &Saved);
    std::signal(SIGXFSZ, SavedSignal);

    EXPECT_EQ(CreatedMessage, "MCI error");
    EXPECT_FALSE(fs::exists(Created));
    EXPECT_EQ(ExistingMessage, "MCI error");
    EXPECT_EQ(fs::file_size(Existing), 0u);
    EXPECT_EQ(FilesAfter, Files);
}

}  // namespace
