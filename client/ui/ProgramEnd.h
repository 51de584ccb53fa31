// Ending the program.
//
// Closing the main window ends the whole program at once: the other windows vanish without running
// their own closing handlers. The main window does that through endProgram(), so that tests can
// watch it happen instead of losing their process.
#pragma once

#include <functional>

namespace quillet {

// Ends the program: by default QCoreApplication::exit(0), which leaves the event loop; every window
// still open disappears with the program, none of them is closed.
void endProgram();

// Replaces what endProgram() does; an empty function restores the default. Returns the previous
// replacement (empty for the default).
std::function<void()> installProgramEnd(std::function<void()> handler);

} // namespace quillet
