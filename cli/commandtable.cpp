#include "command.h"

namespace cli {

const QList<Command> &commandTable()
{
    static const QList<Command> table = {readCommand(),   writeCommand(),      getCommand(),
                                         setCommand(),    dumpCommand(),       applyCommand(),
                                         listCommand(),   linkCommand(),       unlinkCommand(),
                                         detectCommand(), doctorCommand(),     modbusCheckCommand(),
                                         verifyCommand(), commissionCommand(), reportCommand()};
    return table;
}

} // namespace cli
