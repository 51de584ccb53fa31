// The Quillet client program: the main window, shown; closing it ends the program.
#include "AppIcon.h"
#include "MessageBoxes.h"
#include "WindowRegistry.h"
#include "frmMain.h"
#include "PrivateChat.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    quillet::deferStandardIcons();
    QApplication::setApplicationName(QString(quillet::ProgramName));
    QApplication::setWindowIcon(quillet::programIcon());
    QGuiApplication::setDesktopFileName(QStringLiteral("quillet")); // data/quillet.desktop
    // The main window's closing ends the program (quillet::endProgram), whatever else is open.
    QApplication::setQuitOnLastWindowClosed(false);

    new quillet::PrivateChat(quillet::Window<quillet::frmMain>::load()); // owned by the window
    quillet::Window<quillet::frmMain>::show();
    return QApplication::exec();
}
