#pragma once
// The tests' own driver of the OPC service: a service made with the server core's driver
// defaults, a handful of tags of several types, a write callback that records what it was
// given, and an updater that pushes changing values (one step at a time, or on a thread).
// Header-only; works on both targets.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "opc/daservice.h"
#include "platform/clock.h"
#include "platform/com.h"
#include "platform/thread.h"

namespace opc_test {

// A VARIANT that clears itself; copies deep-copy.
class Variant {
public:
    Variant() { VariantInit(&v_); }
    explicit Variant(const VARIANT& source) : Variant() { VariantCopy(&v_, Mutable(source)); }
    Variant(const Variant& other) : Variant() { VariantCopy(&v_, Mutable(other.v_)); }
    Variant& operator=(const Variant& other) {
        if (this != &other) VariantCopy(&v_, Mutable(other.v_));
        return *this;
    }
    ~Variant() { VariantClear(&v_); }
    VARIANT* get() { return &v_; }
    const VARIANT& operator*() const { return v_; }
    VARTYPE vt() const { return v_.vt; }
    // The value as a double (VariantChangeType), NaN when it does not convert.
    double AsDouble() const {
        VARIANT converted;
        VariantInit(&converted);
        if (FAILED(VariantChangeType(&converted, Mutable(v_), 0, VT_R8)))
            return std::numeric_limits<double>::quiet_NaN();
        return converted.dblVal;
    }

    static Variant R4(float value) {
        return Scalar(VT_R4, [&](VARIANT& v) { v.fltVal = value; });
    }
    static Variant R8(double value) {
        return Scalar(VT_R8, [&](VARIANT& v) { v.dblVal = value; });
    }
    static Variant I4(LONG value) {
        return Scalar(VT_I4, [&](VARIANT& v) { v.lVal = value; });
    }
    static Variant Bool(bool value) {
        return Scalar(VT_BOOL,
                      [&](VARIANT& v) { v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE; });
    }
    // ASCII text, widened to OLE characters.
    static Variant Text(const std::string& text) {
        std::basic_string<OLECHAR> wide(text.begin(), text.end());
        Variant result;
        result.v_.vt = VT_BSTR;
        result.v_.bstrVal = SysAllocString(wide.c_str());
        return result;
    }

private:
    // The Windows declarations take sources by non-const pointer; they do not change them.
    static VARIANT* Mutable(const VARIANT& v) { return const_cast<VARIANT*>(&v); }
    template <typename Set>
    static Variant Scalar(VARTYPE type, Set set) {
        Variant result;
        result.v_.vt = type;
        set(result.v_);
        return result;
    }
    VARIANT v_;
};

// One call of the write callback as the driver received it.
struct RecordedWrite {
    std::vector<unsigned> tags;
    std::vector<uintptr_t> driverHandles;
    std::vector<Variant> values;
    LCID locale = 0;
};

class TestDriver {
public:
    // The server core's record: 50 ms granules, flags 0x288, '/' between name parts.
    static opc::daDriverRecord CoreRecord() {
        opc::daDriverRecord driver;
        driver.rateGranularity = 50;
        driver.flags = 0x288;
        driver.branchSeparator = '/';
        return driver;
    }

    // The standard tags, registered in this order (so with indexes 1..6 in a fresh service).
    static constexpr const char* kTemp = "Boiler/Temp";          // R4, analog 0..150, read
    static constexpr const char* kPressure = "Boiler/Pressure";  // R8, analog 0..16, read
    static constexpr const char* kRun = "Pump/Run";              // BOOL, read/write
    static constexpr const char* kCounter = "Counter";           // I4, read
    static constexpr const char* kName = "Name";                 // BSTR, read/write
    static constexpr const char* kSetpoint = "Setpoint";         // R4, analog 0..100, read/write

    // What the write callback does: `writeResult` 0 reports the errors below as the driver's
    // verdict; non-zero (like the server core) lets the service put the values in its cache.
    struct WriteBehaviour {
        int result = 1;
        HRESULT itemError = S_OK;
        HRESULT masterError = S_OK;
    };

    // `driver`'s callbacks are kept unless null; the write callback is always this driver's.
    explicit TestDriver(opc::daDriverRecord driver = CoreRecord(), unsigned tagCount = 64) {
        driver.driverArgument = this;
        driver.write = &TestDriver::OnWrite;
        createResult_ = opc::daCreate(&service_, &driver, tagCount);
        if (createResult_ != 0) return;
        temp_ = AddAnalog(kTemp, Variant::R4(0), 0x1, 0, 150);
        pressure_ = AddAnalog(kPressure, Variant::R8(0), 0x1, 0, 16);
        run_ = AddPlain(kRun, Variant::Bool(false), 0x3);
        counter_ = AddPlain(kCounter, Variant::I4(0), 0x1);
        name_ = AddPlain(kName, Variant::Text(""), 0x3);
        setpoint_ = AddAnalog(kSetpoint, Variant::R4(0), 0x3, 0, 100);
    }

    ~TestDriver() {
        StopUpdater();
        if (service_ != nullptr) opc::daServiceDestroy(service_);
    }
    TestDriver(const TestDriver&) = delete;
    TestDriver& operator=(const TestDriver&) = delete;

    int createResult() const { return createResult_; }
    opc::daService* service() const { return service_; }
    // Hands the service over (for a test of its destruction); the driver forgets it.
    opc::daService* ReleaseService() {
        StopUpdater();
        opc::daService* service = service_;
        service_ = nullptr;
        return service;
    }

    unsigned temp() const { return temp_; }
    unsigned pressure() const { return pressure_; }
    unsigned run() const { return run_; }
    unsigned counter() const { return counter_; }
    unsigned name() const { return name_; }
    unsigned setpoint() const { return setpoint_; }

    // Extra tags; 0 when the service refused (the tests assert on it).
    unsigned AddAnalog(const char* tagName, const Variant& canonical, unsigned rights, double low,
                       double high) {
        unsigned index = 0;
        VARIANT value = *canonical;
        if (opc::daAddRealTag_a(service_, &index, NextHandle(), tagName, 0, rights, &value, low,
                                high) != 0)
            return 0;
        return index;
    }
    unsigned AddPlain(const char* tagName, const Variant& canonical, unsigned rights) {
        unsigned index = 0;
        VARIANT value = *canonical;
        if (opc::daAddTag(service_, &index, NextHandle(), tagName, nullptr, 0, rights, &value,
                          opc::daEU_NONE, nullptr, 0) != 0)
            return 0;
        return index;
    }

    // Stages one value and waits (bounded) until the pipe has published it; returns the update
    // number, 0 when the service refused or the pipe did not publish in time.
    unsigned Publish(unsigned tag, const Variant& value, DWORD quality = 0xC0,
                     HRESULT error = S_OK) {
        opc::daCacheValue element{};
        element.value = *value;
        element.timeStamp = Now();
        element.error = error;
        element.quality = quality;
        element.tagIndex = tag;
        const unsigned number = opc::daCacheUpdate(service_, 1, &element, nullptr);
        return number != 0 && opc::daCacheWaitTransfer(service_, number) == 1 ? number : 0;
    }

    // One updater step n: Temp 20 + n % 100, Pressure 1 + n / 100, Run odd n, Counter n,
    // Name "step n", all good and stamped now. Setpoint is left to the clients' writes.
    // Returns the update number (not waited for).
    unsigned Step() {
        const unsigned n = ++steps_;
        Variant values[] = {Variant::R4(float(20 + n % 100)), Variant::R8(1.0 + n / 100.0),
                            Variant::Bool(n % 2 == 1), Variant::I4(LONG(n)),
                            Variant::Text("step " + std::to_string(n))};
        const unsigned tags[] = {temp_, pressure_, run_, counter_, name_};
        opc::daCacheValue elements[5] = {};
        const FILETIME now = Now();
        for (unsigned i = 0; i < 5; ++i) {
            elements[i].value = *values[i];
            elements[i].timeStamp = now;
            elements[i].quality = 0xC0;
            elements[i].tagIndex = tags[i];
        }
        return opc::daCacheUpdate(service_, 5, elements, nullptr);
    }
    // Step() and wait for the pipe; the update number, or 0.
    unsigned StepAndWait() {
        const unsigned number = Step();
        return number != 0 && opc::daCacheWaitTransfer(service_, number) == 1 ? number : 0;
    }
    unsigned steps() const { return steps_; }

    // Runs Step() every `periodMs` on a thread of its own until StopUpdater.
    void StartUpdater(unsigned periodMs) {
        if (updater_.joinable()) return;
        stop_.Reset();
        updater_ = std::thread([this, periodMs] {
            while (!stop_.Wait(periodMs))
                Step();
        });
    }
    void StopUpdater() {
        if (!updater_.joinable()) return;
        stop_.Set();
        updater_.join();
    }

    void SetWriteBehaviour(const WriteBehaviour& behaviour) {
        std::lock_guard<std::mutex> lock(mutex_);
        behaviour_ = behaviour;
    }
    std::vector<RecordedWrite> Writes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return writes_;
    }
    // True once at least `count` writes have arrived within the timeout.
    bool WaitForWrites(size_t count, unsigned timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        return written_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return writes_.size() >= count; });
    }

    static FILETIME Now() {
        const uint64_t now = platform::SystemTimeAsFileTime();
        return FILETIME{DWORD(now & 0xFFFFFFFFu), DWORD(now >> 32)};
    }

private:
    static int OnWrite(const opc::daCallerRecord* caller, unsigned count, const opc::daTagRef* tags,
                       VARIANT* values, HRESULT* itemErrors, HRESULT* masterError, LCID locale) {
        auto* self = static_cast<TestDriver*>(caller->driverArgument);
        RecordedWrite write;
        write.locale = locale;
        for (unsigned i = 0; i < count; ++i) {
            write.tags.push_back(tags[i].tagIndex);
            write.driverHandles.push_back(tags[i].driverHandle);
            write.values.emplace_back(values[i]);
        }
        std::lock_guard<std::mutex> lock(self->mutex_);
        if (self->behaviour_.result == 0) {
            for (unsigned i = 0; i < count; ++i)
                itemErrors[i] = self->behaviour_.itemError;
            *masterError = self->behaviour_.masterError;
        }
        self->writes_.push_back(std::move(write));
        self->written_.notify_all();
        return self->behaviour_.result;
    }

    uintptr_t NextHandle() { return ++lastHandle_ + 100; }

    opc::daService* service_ = nullptr;
    int createResult_ = 0;
    uintptr_t lastHandle_ = 0;
    unsigned temp_ = 0, pressure_ = 0, run_ = 0, counter_ = 0, name_ = 0, setpoint_ = 0;
    std::atomic<unsigned> steps_{0};

    std::mutex mutex_;
    std::condition_variable written_;
    WriteBehaviour behaviour_;
    std::vector<RecordedWrite> writes_;

    std::thread updater_;
    platform::Event stop_{true, false};
};

}  // namespace opc_test
