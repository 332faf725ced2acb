#include "command.h"
#include "interruption.h"

#include <QCoreApplication>

#include <cerrno>
#include <cstdio>
#include <cstring>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    cli::catchInterruptions();
    int code = cli::runCommandLine(QCoreApplication::arguments(), stdout, stderr);
    // The last word on whether the result reached its file: the close.
    if (std::fclose(stdout) != 0 && code == 0) {
        std::fprintf(stderr, "quillmark-cli: the standard output could not be closed: %s\n",
                     std::strerror(errno));
        code = 1;
    }
    return code;
}
