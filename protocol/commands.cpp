#include "commands.h"

#include "protocollimits.h"

namespace qm {

std::string readCommsCommand()
{
    return std::string("$M") + kCarriageReturn;
}

std::string writeCommsCommand(int modePos, int baudPos, int dataBitsPos, int parityPos,
                              std::string_view addressText)
{
    std::string command = "$C";
    command += std::to_string(modePos);
    command += std::to_string(baudPos);
    command += std::to_string(dataBitsPos + kMinDataBits);
    command += std::to_string(parityPos);
    command += addressText;
    command += kCarriageReturn;
    return command;
}

std::string readBlockCommand(int blockPos)
{
    return "$N" + std::to_string(blockPos) + kCarriageReturn;
}

std::string writeBlockCommand(int blockPos, int dataTypePos, int decimalPointPos)
{
    return "$D" + std::to_string(blockPos) + std::to_string(dataTypePos) +
           std::to_string(decimalPointPos) + kCarriageReturn;
}

} // namespace qm
