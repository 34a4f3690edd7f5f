#include "app/startup.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    prepareProcess(argv[0]);
    return 0;
}
