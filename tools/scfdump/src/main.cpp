// scfdump: prints a configuration file's two sections and where they disagree.

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "scf_dump.h"

namespace {

constexpr const char* kUsage =
    "usage: scfdump [--json] FILE.scf\n"
    "Prints the configuration section and the tag-information section of the file, then the\n"
    "places where the tag-information section (what the server runs on) differs from the\n"
    "configuration section (what the configurator shows).\n"
    "Exit code: 0 the sections agree, 1 they differ, 2 a section is unreadable, 3 no file.\n";

}  // namespace

int main(int argc, char** argv) {
    scfdump::Format format = scfdump::Format::kText;
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) {
            format = scfdump::Format::kJson;
        } else if (path == nullptr && argv[i][0] != '-') {
            path = argv[i];
        } else {
            std::fputs(kUsage, stderr);
            return 64;
        }
    }
    if (path == nullptr) {
        std::fputs(kUsage, stderr);
        return 64;
    }
    // The path as the command line gives it, in the system's own encoding.
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    if (!in.is_open() || !(bytes << in.rdbuf())) {
        std::fprintf(stderr, "scfdump: cannot read %s\n", path);
        return 3;
    }
    std::string out;
    const int code = scfdump::Dump(bytes.str(), format, &out);
    std::fwrite(out.data(), 1, out.size(), stdout);
    return code;
}
