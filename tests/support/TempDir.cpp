#include "tests/support/TempDir.hpp"

#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

namespace noctave::test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "noctave-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) {
        path_ = pattern;
    }
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace noctave::test
