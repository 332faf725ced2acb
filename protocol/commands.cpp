#include "commands.h"

namespace qm {
namespace {

void appendField(std::string &command, const Field &field, int value)
{
    if (field.width == 1) {
        command += std::to_string(value);
        return;
    }
    constexpr const char *kHex = "0123456789ABCDEF";
    if (value < 0 || value > 0xFF) {
        command += std::to_string(value);
        return;
    }
    command += kHex[value >> 4];
    command += kHex[value & 0xF];
}

} // namespace

std::string buildCommand(const CommandRow &entry, const FieldValues &values)
{
    std::string command = "$";
    command += entry.letter;
    for (int i = 0; i < entry.request.count; ++i)
        appendField(command, entry.request.at[std::size_t(i)], values[std::size_t(i)]);
    command += kCarriageReturn;
    return command;
}

std::string readCommsCommand()
{
    return buildCommand(commandRow(Command::ReadComms));
}

std::string writeCommsCommand(const CommsSettings &comms)
{
    return buildCommand(commandRow(Command::WriteComms), valuesOf(comms));
}

std::string readBlockCommand(int blockCode)
{
    return buildCommand(commandRow(Command::ReadBlock), {blockCode});
}

std::string writeBlockCommand(int blockCode, const BlockSettings &block)
{
    return buildCommand(commandRow(Command::WriteBlock),
                        {blockCode, block.dataType, block.decimalPoint});
}

const CommandRow *commandOf(std::string_view bytes)
{
    if (bytes.size() < 2 || bytes[0] != '$')
        return nullptr;
    for (const CommandRow &entry : kCommands) {
        if (entry.letter == bytes[1])
            return &entry;
    }
    return nullptr;
}

FieldValues valuesOf(const CommsSettings &comms)
{
    return {comms.mode, comms.baudCode, comms.dataBits, comms.parity, comms.address};
}

CommsSettings commsSettingsOf(const FieldValues &values)
{
    return {values[0], values[1], values[2], values[3], values[4]};
}

BlockSettings blockSettingsOf(const FieldValues &values, int first)
{
    return {values[std::size_t(first)], values[std::size_t(first) + 1]};
}

} // namespace qm
