#include "command.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    return cli::runCommandLine(QCoreApplication::arguments(), stdout, stderr);
}
