#pragma once
// The commands of the OPC DA client tool. Each prints its results on standard output, one line
// per value with tab-separated fields, its errors on standard error, and returns the exit code:
// 0 done, 1 an OPC or COM error (or a server that did not answer in time), 2 bad usage.

#include <string>
#include <vector>

namespace opcclient {

constexpr int kExitOk = 0;
constexpr int kExitOpcError = 1;
constexpr int kExitUsage = 2;

struct Options {
    std::wstring progId = L"KarvexOPC-modbus";
    std::wstring classId;        // "{...}": used instead of the ProgID when given
    unsigned timeoutMs = 15000;  // for every call to the server and every wait for it
};

// `arguments` are those after the command name.
int RunStatus(const Options& options, const std::vector<std::wstring>& arguments);
int RunBrowse(const Options& options, const std::vector<std::wstring>& arguments);
int RunRead(const Options& options, const std::vector<std::wstring>& arguments);
int RunWrite(const Options& options, const std::vector<std::wstring>& arguments);
int RunWatch(const Options& options, const std::vector<std::wstring>& arguments);
int RunProps(const Options& options, const std::vector<std::wstring>& arguments);

}  // namespace opcclient
