// What the client asks of its surroundings, in one object: message boxes, ending the program,
// attention requests, the random port of a private chat request and the wait for its answer.
//
// The program runs on the defaults. The windows reach the one set through services(); PrivateChat
// is handed the set it uses. Tests swap single members (a recording box, a counter for the end of
// the program, a short answer wait) and put them back.
#pragma once

#include <functional>

class QWidget;

namespace quillet {

class MessageBoxes;

struct Services
{
    // Shows every message box (not owned); nullptr: a QMessageBox.
    MessageBoxes *boxes = nullptr;
    // Ends the program; empty: QCoreApplication::exit(0), which leaves the event loop.
    std::function<void()> endProgram;
    // Asks for attention for a window; empty: QApplication::alert.
    std::function<void(QWidget *)> requestAttention;
    // Where "Request" takes its ports from; empty: round(r * 1000) + 5000 for a random r in [0, 1).
    std::function<int()> randomPort;
    // How long a requester waits for the partner's answer, in milliseconds.
    int answerTimeoutMs = 60 * 1000;
};

// The program's set.
Services &services();

// Ends the program (services().endProgram): every window still open disappears with the
// program, none of them is closed.
void endProgram();

} // namespace quillet
