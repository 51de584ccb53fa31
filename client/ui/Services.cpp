#include "Services.h"

#include <QCoreApplication>

namespace quillet {

Services &services()
{
    static Services set;
    return set;
}

void endProgram()
{
    if (services().endProgram)
        services().endProgram();
    else
        QCoreApplication::exit(0);
}

} // namespace quillet
