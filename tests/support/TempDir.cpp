// Temporary folders for tests.
#include "TempDir.h"

#include <cstdlib>
#include <fstream>
#include <ftw.h>
#include <sstream>
#include <stdexcept>
#include <unistd.h>
#include <vector>

// Below TMPDIR when it is set, as other programs do: a run can put its folders
// on another file system (the emulated armhf run needs tmpfs).
TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/tavo-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    char* p = mkdtemp(buf.data());
    if (!p) {
        throw std::runtime_error("mkdtemp failed in " + tmpl);
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
