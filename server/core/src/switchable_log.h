#pragma once
// The "LoadConfig:" lines go to the server log, or nowhere for callers that only want the
// records (the dump tool, the fuzz targets).

#include <cstdarg>

#include "core/config_reader.h"
#include "log/kvlog.h"

namespace core {

class SwitchableLog {
public:
    SwitchableLog(kvlog::Handle handle, Logging logging)
        : handle_(handle), on_(logging == Logging::kOn) {}

    void operator()(int level, const char* format, ...) const {
        if (!on_) return;
        va_list arguments;
        va_start(arguments, format);
        kvlog::WriteV(level, handle_, nullptr, format, arguments);
        va_end(arguments);
    }

private:
    kvlog::Handle handle_;
    bool on_;
};

}  // namespace core
