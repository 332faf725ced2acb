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

std::string buildCommand(const CommandSpec &spec, const FieldValues &values)
{
    std::string command = "$";
    command += spec.letter;
    for (int i = 0; i < spec.request.count; ++i)
        appendField(command, spec.request.at[std::size_t(i)], values[std::size_t(i)]);
    command += kCarriageReturn;
    return command;
}

std::string readCommsCommand()
{
    return buildCommand(commandSpec(Command::ReadComms));
}

std::string writeCommsCommand(const CommsSettings &comms)
{
    return buildCommand(commandSpec(Command::WriteComms), valuesOf(comms));
}

std::string readBlockCommand(int blockCode)
{
    return buildCommand(commandSpec(Command::ReadBlock), {blockCode});
}

std::string writeBlockCommand(int blockCode, const BlockSettings &block)
{
    return buildCommand(commandSpec(Command::WriteBlock),
                        {blockCode, block.dataType, block.decimalPoint});
}

const CommandSpec *commandOf(std::string_view bytes)
{
    if (bytes.size() < 2 || bytes[0] != '$')
        return nullptr;
    for (const CommandSpec &spec : kCommands) {
        if (spec.letter == bytes[1])
            return &spec;
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
