#include "config/code_tables.h"

#include <array>
#include <vector>

#include "platform/codepage.h"

namespace config {
namespace {

// The tables are written in UTF-8 here and held in Windows-1251 like every record text.
std::string Text(const char* utf8) {
    return platform::Utf8ToCp1251(utf8);
}

const std::string& Empty() {
    static const std::string empty;
    return empty;
}

template <typename Entry, typename Code>
const Entry* FindCode(std::span<const Entry> table, Code code) {
    for (const Entry& entry : table) {
        if (entry.code == code) return &entry;
    }
    return nullptr;
}

}  // namespace

std::span<const TypeEntry> TagTypes() {
    static const std::vector<TypeEntry> table = {
        {11, "VT_BOOL", kImageDiscrete}, {17, "VT_UI1", kImageInteger},
        {18, "VT_UI2", kImageInteger},   {19, "VT_UI4", kImageInteger},
        {16, "VT_I1", kImagePlain},      {4, "VT_R4", kImageAnalog},
        {5, "VT_R8", kImageAnalog},
    };
    return table;
}

const std::string& TypeText(uint16_t vtType) {
    const TypeEntry* entry = FindCode(TagTypes(), vtType);
    return entry ? entry->text : Empty();
}

int TypeImage(uint16_t vtType) {
    const TypeEntry* entry = FindCode(TagTypes(), vtType);
    return entry ? entry->image : kImagePlain;
}

std::span<const CodeText> CorrectionOperations() {
    static const std::vector<CodeText> table = {
        {0, Text("Нет")},         {1, Text("Сложение")},     {2, Text("Умножение")},
        {3, Text("Битовое SHL")}, {4, Text("Битовое SHR")},  {5, Text("Битовое OR")},
        {6, Text("Битовое AND")}, {12, Text("Битовое NOT")}, {7, Text("Групповое EXTBIT")},
        {9, Text("Равно")},       {10, Text("Не равно")},    {11, Text("ТСМ-50 в град.С")},
    };
    return table;
}

const std::string& CorrectionListEndText() {
    static const std::string text = "-=-";
    return text;
}

const std::string& CorrectionText(uint8_t operation) {
    return TextOf(CorrectionOperations(), operation);
}

std::span<const DeviceTypeEntry> DeviceTypes() {
    static const std::vector<DeviceTypeEntry> table = {
        {100, 'd', "Modbus-TCP", "Modbus-TCP"},
        {101, 'e', "Modbus-RTU", "Modbus-RTU"},
        {102, 'f', "Modbus-RTU over TCP", "Modbus-RTU over TCP"},
        {103, 'g', "Remote TCP Client", "Remote TCP Client"},
        {104, 'h', "Remote TCP CWT Client", "Remote TCP CWT Device"},
        {105, 'i', "Remote TCP Server", "Remote TCP Server"},
    };
    return table;
}

const std::string& DeviceTypeText(uint8_t type) {
    static const std::string unknown = Text("Неизвестный");
    const DeviceTypeEntry* entry = FindCode(DeviceTypes(), type);
    return entry ? entry->text : unknown;
}

std::span<const CodeText> ParityCodes() {
    static const std::vector<CodeText> table = {
        {0, Text("Нет")}, {1, "ODD"}, {2, "EVEN"}, {3, "MARK"}, {4, "SPACE"},
    };
    return table;
}

const std::string& ParityText(uint8_t parity) {
    return TextOf(ParityCodes(), parity);
}

std::span<const CodeText> QualityResetCodes() {
    static const std::vector<CodeText> table = {
        {0, Text("Установить OPC_QUALITY BAD_NON_SPECIFIC")},
        {1, Text("Установить OPC_QUALITY UNCERTAIN_NON_SPECIFIC")},
        {2, Text("Установить OPC_QUALITY COMM_FAILURE")},
        {10, Text("Не изменять")},
    };
    return table;
}

const std::string& QualityResetText(uint8_t code) {
    static const std::string unknown = Text("ОШИБКА - Неизвестное значение");
    const CodeText* entry = FindCode(QualityResetCodes(), code);
    return entry ? entry->text : unknown;
}

std::span<const CodeText> DataTypes() {
    static const std::vector<CodeText> table = {{0, "FLOAT"}, {1, "UINT"}, {2, "INT"}};
    return table;
}

std::span<const CodeText> ByteOrders() {
    static const std::vector<CodeText> table = {{0, "1234"}, {1, "4321"}, {2, "2143"}, {3, "3412"}};
    return table;
}

std::span<const uint32_t> OfferedBaudRates() {
    static constexpr std::array<uint32_t, 8> rates = {1200,  2400,  4800,  9600,
                                                      19200, 38400, 57600, 115200};
    return rates;
}

const std::string& TextOf(std::span<const CodeText> table, uint32_t code) {
    const CodeText* entry = FindCode(table, code);
    return entry ? entry->text : Empty();
}

const std::string& NoDeviceText() {
    static const std::string text = Text("НЕ ВЫБРАНО");
    return text;
}

}  // namespace config
