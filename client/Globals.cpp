#include "Globals.h"

namespace quillet::Globals {

QString sFirstRun;
QString sServerHost;
QString sUserName;
QString sPassword;
qint32 nServerPort = 0;
bool bPrivateChatActive = false;
qint16 nSilentJoins = 0;

void reset()
{
    sFirstRun.clear();
    sServerHost.clear();
    sUserName.clear();
    sPassword.clear();
    nServerPort = 0;
    bPrivateChatActive = false;
    nSilentJoins = 0;
}

} // namespace quillet::Globals
