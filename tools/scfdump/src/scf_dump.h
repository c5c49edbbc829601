#pragma once
// The .scf dump: both sections of a configuration file as readable text or JSON, and the
// places where the tag-information section (what the server runs on) disagrees with the
// configuration section (what the configurator shows). Output is UTF-8, one item per line,
// in file order, so two dumps compare well with diff.

#include <string>
#include <string_view>

namespace scfdump {

enum class Format { kText, kJson };

enum ExitCode : int {
    kSectionsAgree = 0,
    kSectionsDisagree = 1,
    kSectionUnreadable = 2,  // a section could not be read completely, so nothing was compared
};

// Writes the dump of the file's bytes to out and returns the exit code.
int Dump(std::string_view file, Format format, std::string* out);

}  // namespace scfdump
