// Temporary folders for tests.
#include "TempDir.h"

#include <cstdlib>
#include <fstream>
#include <ftw.h>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

TempDir::TempDir() {
    char tmpl[] = "/tmp/tavo-test-XXXXXX";
    char* p = mkdtemp(tmpl);
    if (!p) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_path = p;
}

static int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
    return ::remove(path);
}

TempDir::~TempDir() {
    nftw(m_path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string readFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), bytes.size());
}
