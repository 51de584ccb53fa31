// The program's icon, drawn in code (the program ships no image files).
#pragma once

#include <QIcon>

namespace quillet {

QIcon programIcon();

} // namespace quillet
