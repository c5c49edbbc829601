#pragma once
// The codes of the configuration records with the texts the configurator shows for them.
// Every text is Windows-1251, like all texts of the records.

#include <cstdint>
#include <span>
#include <string>

namespace config {

// Indexes into the tree's image list.
enum : int {
    kImagePlain = 0,
    kImageGroup = 1,
    kImageAnalog = 2,
    kImageDiscrete = 3,
    kImageInteger = 4
};

constexpr uint16_t kTypeBool = 11;  // the one discrete value type

struct TypeEntry {
    uint16_t code;
    std::string text;
    int image;
};
// Tag value types (VARTYPE codes) in the order the configurator offers them.
std::span<const TypeEntry> TagTypes();
// Empty text and kImagePlain for a code outside the table.
const std::string& TypeText(uint16_t vtType);
int TypeImage(uint16_t vtType);

struct CodeText {
    uint32_t code;
    std::string text;
};
// Correction operations in display order, without the list's end mark.
std::span<const CodeText> CorrectionOperations();
constexpr uint8_t kCorrectionListEnd = 255;  // ends the operation list; never stored
const std::string& CorrectionListEndText();
// Empty for a code that is not an operation.
const std::string& CorrectionText(uint8_t operation);

struct DeviceTypeEntry {
    uint8_t code;
    char letter;
    std::string text;        // shown by the configurator
    std::string serverText;  // written by the server to its log
};
std::span<const DeviceTypeEntry> DeviceTypes();
// "Неизвестный" for a code outside the table.
const std::string& DeviceTypeText(uint8_t type);

std::span<const CodeText> ParityCodes();
// Empty for an unknown code.
const std::string& ParityText(uint8_t parity);

std::span<const CodeText> QualityResetCodes();
// "ОШИБКА - Неизвестное значение" for an unknown code.
const std::string& QualityResetText(uint8_t code);

std::span<const CodeText> DataTypes();   // m_ucDataType of 32-bit registers
std::span<const CodeText> ByteOrders();  // m_ucByteOrder of 32-bit registers
std::span<const uint32_t> OfferedBaudRates();
// Empty for a code outside the table.
const std::string& TextOf(std::span<const CodeText> table, uint32_t code);

// Shown for an element whose device is not chosen or no longer exists.
const std::string& NoDeviceText();

}  // namespace config
