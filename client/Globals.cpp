#include "Globals.h"

namespace quillet::Globals {

QString sFirstRun;
QString sServerHost;
QString sUserName;
QString sPassword;
qint32 nServerPort = 0;
QString sRequestUser;
QString sRequestAddr;
QString sRequestPort;
QString sRequestMessage;
bool bPrivateChatActive = false;
QString sPartnerName;
qint16 nSilentJoins = 0;

void reset()
{
    sFirstRun.clear();
    sServerHost.clear();
    sUserName.clear();
    sPassword.clear();
    nServerPort = 0;
    sRequestUser.clear();
    sRequestAddr.clear();
    sRequestPort.clear();
    sRequestMessage.clear();
    bPrivateChatActive = false;
    sPartnerName.clear();
    nSilentJoins = 0;
}

} // namespace quillet::Globals
