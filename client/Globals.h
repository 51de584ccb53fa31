// Program-wide state of the client: plain variables that every window reads and writes directly.
//
// Strings start empty, numbers at 0, the Boolean at false. There is one set for the whole process,
// which is why a process can hold only one logged-in main window.
#pragma once

#include <QString>
#include <QtGlobal>

namespace quillet::Globals {

// Start-up marker: empty until the main window's first load, then "rilko".
extern QString sFirstRun;
// Server host as typed in the login dialog; empty except between the dialog's OK and the end of the
// connection attempt that follows it.
extern QString sServerHost;
// The user's name and password as typed in the login dialog.
extern QString sUserName;
extern QString sPassword;
// The server's TCP port: the login dialog's port at start-up, then whatever its OK stores.
extern qint32 nServerPort;
// A private chat is requested, offered or under way (written by PrivateChat only).
extern bool bPrivateChatActive;
// How many names the users list took without a join notice (grows from 0 to 4, never reset).
extern qint16 nSilentJoins;

// Puts every variable back to its initial value (for tests: a fresh process in all but name).
void reset();

} // namespace quillet::Globals
