#include "ProgramEnd.h"

#include <QCoreApplication>

#include <utility>

namespace quillet {

namespace {
std::function<void()> replacement;
}

void endProgram()
{
    if (replacement)
        replacement();
    else
        QCoreApplication::exit(0);
}

std::function<void()> installProgramEnd(std::function<void()> handler)
{
    return std::exchange(replacement, std::move(handler));
}

} // namespace quillet
