#include "core/runtime.h"

#include <algorithm>

namespace core {

ChannelRecord ChannelFromConfig(const ConfigDevice& device) {
    ChannelRecord channel;
    channel.m_ucType = device.m_ucType;
    channel.m_strAddress = device.m_strAddress;
    channel.m_strName = device.m_strName;
    channel.m_wPort = device.m_wPort;
    channel.m_ucSlot = device.m_ucSlot;
    channel.m_ucDisconnect = device.m_ucDisconnect;
    channel.m_ucID = device.m_ucID;
    channel.m_ucQualityReset = device.m_ucQualityReset;
    channel.m_ucFailThreshold = device.m_ucFailThreshold;
    channel.m_wCyclePause = device.m_wCyclePause;
    channel.m_wPacketPause = device.m_wPacketPause;
    channel.m_wTimeout = device.m_wTimeout;
    channel.m_ucStopBits = device.m_ucStopBits;
    channel.m_ucParity = device.m_ucParity;
    channel.m_dwBaudRate = device.m_dwBaudRate;
    channel.m_ucComPort = device.m_ucComPort;
    return channel;
}

const char* ChannelTypeText(uint8_t type) {
    switch (type) {
        case 'd':
            return "Modbus-TCP";
        case 'e':
            return "Modbus-RTU";
        case 'f':
            return "Modbus-RTU over TCP";
        case 'g':
            return "Remote TCP Client";
        case 'h':
            return "Remote TCP CWT Device";
        case 'i':
            return "Remote TCP Server";
        default:
            return "unknown";
    }
}

TagRecord TagFromConfig(ConfigTag&& tag) {
    TagRecord record;
    record.m_dwID = tag.m_dwID;
    record.m_strName = std::move(tag.m_strName);
    record.m_strComment = std::move(tag.m_strComment);
    record.m_strShortName = std::move(tag.m_strShortName);
    record.m_vtType = tag.m_vtType;
    record.m_ucDeviceNo = tag.m_ucDeviceNo;
    record.m_ucDevice = tag.m_ucDevice;
    record.m_ucFunction = tag.m_ucFunction;
    record.m_dwRegister = tag.m_dwRegister;
    record.m_ucSize = tag.m_ucSize;
    record.m_ucReserved = tag.m_ucReserved;
    record.m_ucWriteFunction = tag.m_ucWriteFunction;
    record.m_dwWriteRegister = tag.m_dwWriteRegister;
    record.m_ucAccess = tag.m_ucAccess;
    record.m_ucGroupNo = tag.m_ucGroupNo;
    record.m_ucPriority = tag.m_ucPriority;
    record.m_ucDataType = tag.m_ucDataType;
    record.m_ucByteOrder = tag.m_ucByteOrder;
    record.m_dwIdentifier = tag.m_dwIdentifier;
    record.m_aCorrections = std::move(tag.m_aCorrections);
    return record;
}

void AddItem(GroupList* list, const GroupEntry& entry) {
    for (size_t i = 0; i + 1 < list->size(); ++i) {
        if ((*list)[i].reg < entry.reg && entry.reg < (*list)[i + 1].reg) {
            list->insert(list->begin() + static_cast<std::ptrdiff_t>(i + 1), entry);
            return;
        }
    }
    list->push_back(entry);
}

void RuntimeTables::Clear() {
    {
        std::lock_guard lock(channelLock_);
        channels_.clear();
        timeSync_.clear();
    }
    {
        std::lock_guard lock(tagLock_);
        tags_.clear();
    }
    std::lock_guard lock(statisticsLock_);
    statistics_.clear();
}

void RuntimeTables::AddChannel(const ChannelRecord& channel) {
    {
        std::lock_guard lock(channelLock_);
        channels_.push_back(channel);
    }
    std::lock_guard lock(statisticsLock_);
    statistics_.emplace_back();
}

void RuntimeTables::AddTag(TagRecord&& tag) {
    std::lock_guard lock(tagLock_);
    tags_.push_back(std::move(tag));
}

void RuntimeTables::AddTimeSync(const TimeSyncEntry& entry) {
    std::lock_guard lock(channelLock_);
    timeSync_.push_back(entry);
}

bool RuntimeTables::FindChannelLocked(uint8_t id, size_t* index) const {
    for (size_t i = 0; i < channels_.size(); ++i) {
        if (channels_[i].m_ucID == id) {
            *index = i;
            return true;
        }
    }
    return false;
}

AttachResult RuntimeTables::AttachFieldDevice(uint8_t channelId, uint8_t address,
                                              size_t* channelIndex) {
    std::lock_guard lock(channelLock_);
    if (!FindChannelLocked(channelId, channelIndex)) return AttachResult::kNoChannel;
    std::vector<FieldDevice>& devices = channels_[*channelIndex].fieldDevices;
    const auto known = [address](const FieldDevice& d) { return d.address == address; };
    if (std::any_of(devices.begin(), devices.end(), known)) return AttachResult::kAlreadyThere;
    if (devices.size() >= kMaxFieldDevices) return AttachResult::kChannelFull;
    devices.push_back(FieldDevice{address, {}});
    return AttachResult::kAdded;
}

bool RuntimeTables::AddRequestSize(uint8_t channelId, uint8_t address, const RequestSize& size,
                                   size_t* channelIndex, size_t* deviceIndex) {
    std::lock_guard lock(channelLock_);
    for (size_t c = 0; c < channels_.size(); ++c) {
        if (channels_[c].m_ucID != channelId) continue;
        std::vector<FieldDevice>& devices = channels_[c].fieldDevices;
        for (size_t d = 0; d < devices.size(); ++d) {
            if (devices[d].address != address) continue;
            devices[d].requestSizes.push_back(size);
            *channelIndex = c;
            *deviceIndex = d;
            return true;
        }
    }
    return false;
}

size_t RuntimeTables::ChannelCount() const {
    std::lock_guard lock(channelLock_);
    return channels_.size();
}

size_t RuntimeTables::TagCount() const {
    std::lock_guard lock(tagLock_);
    return tags_.size();
}

size_t RuntimeTables::TimeSyncCount() const {
    std::lock_guard lock(channelLock_);
    return timeSync_.size();
}

int32_t RuntimeTables::GetChannel(size_t index, ChannelRecord* channel) const {
    std::lock_guard lock(channelLock_);
    if (index >= channels_.size()) return kInvalidArg;
    *channel = channels_[index];
    return kOk;
}

int32_t RuntimeTables::UpdateChannel(size_t index,
                                     const std::function<void(ChannelRecord&)>& change) {
    std::lock_guard lock(channelLock_);
    if (index >= channels_.size()) return kInvalidArg;
    change(channels_[index]);
    return kOk;
}

bool RuntimeTables::FindChannel(uint8_t id, size_t* index) const {
    std::lock_guard lock(channelLock_);
    return FindChannelLocked(id, index);
}

size_t RuntimeTables::GetModbusDeviceID(uint8_t channelId, uint8_t address) const {
    std::unique_lock lock(channelLock_);
    size_t index = 0;
    if (!FindChannelLocked(channelId, &index)) {
        lock.unlock();
        kvlog::Error(log_, "GetModbusDeviceID: can't find Modbus device for device %u",
                     unsigned{channelId});
        return 0;
    }
    const std::vector<FieldDevice>& devices = channels_[index].fieldDevices;
    for (size_t i = 0; i < devices.size(); ++i) {
        if (devices[i].address == address) return i;
    }
    return 0;
}

int32_t RuntimeTables::GetTag(size_t index, TagRecord* tag) const {
    std::lock_guard lock(tagLock_);
    if (index >= tags_.size()) return kInvalidArg;
    *tag = tags_[index];
    return kOk;
}

int32_t RuntimeTables::UpdateTag(size_t index, const std::function<void(TagRecord&)>& change) {
    std::lock_guard lock(tagLock_);
    if (index >= tags_.size()) return kInvalidArg;
    change(tags_[index]);
    return kOk;
}

int32_t RuntimeTables::GetStatistics(size_t channel, size_t block,
                                     StatisticsBlock* statistics) const {
    std::lock_guard lock(statisticsLock_);
    if (channel >= statistics_.size() || block >= kMaxFieldDevices) return kInvalidArg;
    *statistics = statistics_[channel][block];
    return kOk;
}

int32_t RuntimeTables::UpdateStatistics(size_t channel, size_t block,
                                        const std::function<void(StatisticsBlock&)>& change) {
    std::lock_guard lock(statisticsLock_);
    if (channel >= statistics_.size() || block >= kMaxFieldDevices) return kInvalidArg;
    change(statistics_[channel][block]);
    return kOk;
}

int32_t RuntimeTables::GetTimeSync(size_t index, TimeSyncEntry* entry) const {
    std::lock_guard lock(channelLock_);
    if (index >= timeSync_.size()) return kInvalidArg;
    *entry = timeSync_[index];
    return kOk;
}

int32_t RuntimeTables::UpdateTimeSync(size_t index,
                                      const std::function<void(TimeSyncEntry&)>& change) {
    std::lock_guard lock(channelLock_);
    if (index >= timeSync_.size()) return kInvalidArg;
    change(timeSync_[index]);
    return kOk;
}

namespace {

void FillSlot(ChannelRecord& record, const WriteCommand& command) {
    record.commandState = command.commandState;
    record.writeValue16 = command.value16;
    if (command.commandState != kCommandWrite16) record.writeValue32 = command.value32;
    record.writeTagIndex = command.tagIndex;
}

}  // namespace

int32_t RuntimeTables::PostWrite(size_t channel, const WriteCommand& command) {
    std::lock_guard lock(channelLock_);
    if (channel >= channels_.size()) return kInvalidArg;
    FillSlot(channels_[channel], command);
    return kOk;
}

int32_t RuntimeTables::PostWriteWhenIdle(size_t channel, const WriteCommand& command) {
    std::lock_guard lock(channelLock_);
    if (channel >= channels_.size()) return kInvalidArg;
    if (channels_[channel].thread == 0) return kNoWorker;
    if (channels_[channel].commandState != kCommandIdle) return kBusy;
    FillSlot(channels_[channel], command);
    return kOk;
}

int32_t RuntimeTables::GetWrite(size_t channel, WriteCommand* command) const {
    std::lock_guard lock(channelLock_);
    if (channel >= channels_.size()) return kInvalidArg;
    const ChannelRecord& record = channels_[channel];
    *command = WriteCommand{record.commandState, record.writeValue16, record.writeValue32,
                            record.writeTagIndex};
    return kOk;
}

int32_t RuntimeTables::SetCommandState(size_t channel, uint8_t state) {
    std::lock_guard lock(channelLock_);
    if (channel >= channels_.size()) return kInvalidArg;
    channels_[channel].commandState = state;
    return kOk;
}

}  // namespace core
