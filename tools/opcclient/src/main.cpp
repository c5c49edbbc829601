// opcclient: a command-line OPC DA client for checking a server from a plant workstation.

#include <cstdio>
#include <string>
#include <vector>

#include "client.h"
#include "platform/com.h"

#include <shellapi.h>

namespace {

const char kUsage[] =
    "Usage: opcclient [--progid ID | --clsid {GUID}] [--timeout ms] COMMAND ...\n"
    "\n"
    "Commands:\n"
    "  status                          the server's state, times, group count and version\n"
    "  browse [--flat] [FILTER]        item IDs: the tree walked branch by branch, or the\n"
    "                                  server's flat list; FILTER uses * ? # [a-z] [!a-z]\n"
    "                                  (per leaf name in the tree, on the whole ID with --flat)\n"
    "  read [--device] ITEM...         the values from the server's cache (or the device)\n"
    "  write [--async] ITEM=VALUE...   writes, each value taken as the item's own type;\n"
    "                                  --async waits for the completion callback\n"
    "  watch [--rate ms] [--seconds n] [--stream] ITEM...\n"
    "                                  every data change until the time is up or Ctrl-C;\n"
    "                                  --stream subscribes through the DA 1.0 data stream\n"
    "  props ITEM                      the item's properties\n"
    "\n"
    "Options:\n"
    "  --progid ID     the server's ProgID (default KarvexOPC-modbus)\n"
    "  --clsid GUID    the server's class identifier instead of a ProgID\n"
    "  --timeout ms    how long to wait for any answer of the server (default 15000)\n"
    "\n"
    "Output: one line per value, fields separated by tabs:\n"
    "  ITEM  VALUE  TYPE  QUALITY (hex and words)  TIME STAMP (UTC, ISO 8601)\n"
    "  ITEM  ERROR  CODE and text                  for an item that failed\n"
    "Exit codes: 0 done, 1 an OPC or COM error or no answer in time, 2 bad usage.\n";

int Usage(const std::string& problem) {
    std::fprintf(stderr, "opcclient: %s (opcclient --help shows the usage)\n", problem.c_str());
    return opcclient::kExitUsage;
}

std::vector<std::wstring> Arguments() {
    int count = 0;
    wchar_t** words = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::wstring> out;
    for (int i = 1; i < count && words != nullptr; ++i)
        out.emplace_back(words[i]);
    if (words != nullptr) LocalFree(words);
    return out;
}

bool ParseTimeout(const std::wstring& text, unsigned* timeoutMs) {
    if (text.empty() || text.size() > 7) return false;
    unsigned value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        value = value * 10 + unsigned(c - L'0');
    }
    if (value == 0) return false;
    *timeoutMs = value;
    return true;
}

}  // namespace

int main() {
    using namespace opcclient;
    // Values and item IDs are printed as UTF-8.
    SetConsoleOutputCP(CP_UTF8);
    const std::vector<std::wstring> arguments = Arguments();
    Options options;
    size_t next = 0;
    for (; next < arguments.size(); ++next) {
        const std::wstring& argument = arguments[next];
        if (argument == L"--help" || argument == L"-h" || argument == L"/?") {
            std::fputs(kUsage, stdout);
            return kExitOk;
        }
        if (argument.compare(0, 2, L"--") != 0) break;
        if (next + 1 >= arguments.size()) return Usage("an option needs a value");
        const std::wstring& value = arguments[++next];
        if (argument == L"--progid") {
            options.progId = value;
        } else if (argument == L"--clsid") {
            options.classId = value;
        } else if (argument == L"--timeout") {
            if (!ParseTimeout(value, &options.timeoutMs))
                return Usage("--timeout takes milliseconds (1 to 9999999)");
        } else {
            return Usage("unknown option");
        }
    }
    if (next >= arguments.size()) return Usage("no command given");
    const std::wstring& command = arguments[next];
    const std::vector<std::wstring> rest(arguments.begin() + long(next) + 1, arguments.end());
    if (command == L"status") return RunStatus(options, rest);
    if (command == L"browse") return RunBrowse(options, rest);
    if (command == L"read") return RunRead(options, rest);
    if (command == L"write") return RunWrite(options, rest);
    if (command == L"watch") return RunWatch(options, rest);
    if (command == L"props") return RunProps(options, rest);
    return Usage("unknown command");
}
