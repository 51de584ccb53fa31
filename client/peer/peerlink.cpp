#include "peerlink.h"

#include "peertransport.h"

#include <QCoreApplication>
#include <QFile>
#include <QMetaObject>

#include <dlfcn.h>

// Linked in where the program links the TCP side (tcptransport.cpp) itself; otherwise null.
extern "C" const quillet::PeerTransportModule *quillet_peer_transport_module() __attribute__((weak));

namespace quillet {

namespace {

// The TCP side: built in, or else the module (QUILLET_PEER_TRANSPORT_MODULE) that lies beside the
// program's libraries, found through the program's run path. nullptr if it cannot be had.
const PeerTransportModule *transportModule()
{
    static const PeerTransportModule *const module = []() -> const PeerTransportModule * {
        if (quillet_peer_transport_module)
            return quillet_peer_transport_module();
#ifdef QUILLET_PEER_TRANSPORT_MODULE
        // dlopen from here, not through QLibrary: the run path searched is the caller's. Where
        // dlopen is wrapped (sanitizers) the caller is the wrapper and the run path is not searched,
        // so the program's library folder is tried by its place relative to the program too.
        const QByteArray name = QUILLET_PEER_TRANSPORT_MODULE;
        const QString programDir = QCoreApplication::applicationDirPath();
        const QByteArray candidates[] = {
            name,
            QFile::encodeName(programDir + QLatin1String("/../lib/")) + name,
            QFile::encodeName(programDir + QLatin1String("/" QUILLET_BIN_TO_LIB "/")) + name,
        };
        QByteArray firstError;
        for (const QByteArray &path : candidates) {
            if (void *handle = ::dlopen(path.constData(), RTLD_NOW | RTLD_LOCAL)) {
                using Entry = const PeerTransportModule *(*)();
                if (const auto entry = reinterpret_cast<Entry>(::dlsym(handle, "quillet_peer_transport_module")))
                    return entry();
            }
            if (firstError.isEmpty())
                firstError = ::dlerror();
        }
        qWarning("The peer transport module cannot be loaded: %s", firstError.constData());
#endif
        return nullptr;
    }();
    return module;
}

} // namespace

class PeerLink::Events final : public PeerTransport::Events
{
public:
    explicit Events(PeerLink *link) : link_(link) {}
    void connected() override { emit link_->connected(); }
    void received(const PeerProtocol::Message &message) override { emit link_->received(message); }
    void closed() override { emit link_->closed(); }
    void failed(const QString &description) override { emit link_->failed(description); }
    void written() override { emit link_->written(); }

private:
    PeerLink *link_;
};

PeerLink::PeerLink(QObject *parent) : QObject(parent), m_events(new Events(this)) {}

PeerLink::~PeerLink()
{
    close();
    delete m_transport; // before the events it reports to
    delete m_events;
}

QString PeerLink::localIP()
{
    const PeerTransportModule *module = transportModule();
    return module ? module->localIP() : QStringLiteral("127.0.0.1");
}

PeerTransport *PeerLink::transport()
{
    if (!m_transport)
        if (const PeerTransportModule *module = transportModule())
            m_transport = module->make(m_events, this);
    return m_transport;
}

PeerLink::State PeerLink::state() const
{
    return m_transport ? m_transport->state() : State::Closed;
}

quint16 PeerLink::localPort() const
{
    return m_transport ? m_transport->localPort() : 0;
}

quint16 PeerLink::peerPort() const
{
    return m_transport ? m_transport->peerPort() : 0;
}

bool PeerLink::listen(quint16 port)
{
    PeerTransport *tcp = transport();
    return tcp && tcp->listen(port);
}

void PeerLink::connectTo(const QString &host, quint16 port)
{
    if (PeerTransport *tcp = transport()) {
        tcp->connectTo(host, port);
        return;
    }
    // As a connect that failed: reported from the event loop, as the socket would.
    QMetaObject::invokeMethod(this, [this] { emit failed(tr("The network layer cannot be loaded.")); },
                              Qt::QueuedConnection);
}

bool PeerLink::send(const QString &message)
{
    return put(message, false);
}

bool PeerLink::put(const QString &message, bool bulk)
{
    return m_transport && m_transport->put(message, bulk);
}

qint64 PeerLink::bytesToWrite() const
{
    return m_transport ? m_transport->bytesToWrite() : 0;
}

void PeerLink::close()
{
    if (m_transport)
        m_transport->close();
}

} // namespace quillet
