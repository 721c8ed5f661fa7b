#include "tests/support/Peers.h"

#include <charconv>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

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
