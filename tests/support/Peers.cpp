#include "tests/support/Peers.h"

#include <charconv>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "tests/support/Files.h"

std::optional<std::string> PeerSetting(const char* AName) {
    const char* FileName = std::getenv("KBV_PEERS_ENV");
    if (!FileName || !*FileName)
        return std::nullopt;
    std::ifstream File(FileName);
    if (!File)
        throw std::runtime_error(std::string("cannot read the peers file ") + FileName);
    const std::string Prefix = std::string(AName) + "=";
    for (std::string Line; std::getline(File, Line);)
        if (Line.starts_with(Prefix))
            return Line.substr(Prefix.size());
    throw std::runtime_error(std::string("no ") + AName + " in the peers file " + FileName);
}

std::optional<uint16_t> PeerPort(const char* AName) {
    std::optional<std::string> Value = PeerSetting(AName);
    if (!Value)
        return std::nullopt;
    uint16_t Port = 0;
    const char* End = Value->data() + Value->size();
    auto [Rest, Error] = std::from_chars(Value->data(), End, Port);
    if (Error != std::errc() || Rest != End || Port == 0)
        throw std::runtime_error(std::string(AName) + " is not a port: " + *Value);
    return Port;
}

std::string PeerFile(const std::string& AName) { return *PeerSetting("PEER_DIR") + "/nginx/www/files/" + AName; }

std::string PeerPortText(const char* AName) { return std::to_string(*PeerPort(AName)); }

TPeerLogTail::TPeerLogTail(const std::string& ALog)
    : FPath(*PeerSetting("PEER_DIR") + "/" + ALog), FFrom(FileText(FPath).size()) {}

bool TPeerLogTail::Has(const std::string& AText) const {
    for (int I = 0; I < 50; ++I) {
        const std::string Text = FileText(FPath);
        if (Text.size() > FFrom && Text.find(AText, FFrom) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}
