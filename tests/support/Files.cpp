#include "tests/support/Files.h"

#include <fstream>
#include <sstream>

std::string FileText(const std::string& APath) {
    std::ifstream File(APath, std::ios::binary);
    std::ostringstream Text;
    Text << File.rdbuf();
    return Text.str();
}
