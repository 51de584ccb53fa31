// Fuzz target: the file transfer messages of the peer protocol.
//
// From the input:
//   - one received text (Latin-1, as the peer link decodes it), often dressed as a file message:
//     parse() must not fail on it; whatever it reads must be within the grammar's limits, and the
//     message built again from those fields must read back the same, canonical text included;
//     the link reads it as an extension message with the same fields.
// (Chunks of any bytes encoded and decoded: the end-to-end walk's file of random bytes.)

#include "filemessages.h"
#include "fuzzcheck.h"
#include "peerextensions.h"
#include "peerprotocol.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <string>

namespace FM = quillet::FileMessages;
namespace PP = quillet::PeerProtocol;

namespace {

QLatin1StringView reasonOf(const QString &reason, std::string &storage)
{
    storage = reason.toStdString();
    return QLatin1StringView(storage.data(), qsizetype(storage.size()));
}

QString rebuild(const FM::Message &m)
{
    std::string storage;
    switch (m.type) {
    case FM::Type::Offer: return FM::offer(m.id, m.size, m.kind, m.name);
    case FM::Type::Accept: return FM::accept(m.id);
    case FM::Type::Refuse: return FM::refuse(m.id);
    case FM::Type::Data: return FM::data(m.id, m.bytes);
    case FM::Type::End: return FM::end(m.id, m.bytes);
    case FM::Type::Done: return FM::done(m.id);
    case FM::Type::Cancel: return FM::cancel(m.id, m.role, reasonOf(m.reason, storage));
    case FM::Type::None: break;
    }
    return {};
}

bool sameFields(const FM::Message &a, const FM::Message &b)
{
    return a.type == b.type && a.id == b.id && a.size == b.size && a.kind == b.kind && a.name == b.name
        && a.bytes == b.bytes && a.role == b.role && a.reason == b.reason;
}

void checkParse(const QString &text)
{
    const FM::Message m = FM::parse(text);
    if (m.type == FM::Type::None)
        return;
    const PP::Message classified = PP::classify(text);
    FUZZ_CHECK(classified.kind == PP::Kind::Extension && sameFields(FM::parse(classified.extension, classified.body), m));
    FUZZ_CHECK(m.id >= 1 && m.id <= FM::MaxId && m.size >= 0);
    FUZZ_CHECK(m.bytes.size() <= FM::MaxChunk);
    FUZZ_CHECK(m.type != FM::Type::Data || !m.bytes.isEmpty());
    FUZZ_CHECK(m.type != FM::Type::End || m.bytes.size() == 32);
    FUZZ_CHECK(m.type != FM::Type::Offer || (!m.name.isEmpty() && m.name.toUtf8().size() <= FM::MaxNameBytes));
    const QString again = rebuild(m);
    FUZZ_CHECK(sameFields(FM::parse(again), m));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    static const char *const names[] = {"fileoffer", "fileaccept", "filerefuse", "filedata",
                                        "filedone", "fileend", "filecancel"};
    const std::string body = input.ConsumeRandomLengthString(2048);
    const QString bodyText = QString::fromLatin1(body.data(), qsizetype(body.size()));
    // Mostly a well-framed file message around the body, sometimes the bare text.
    const uint8_t choice = input.ConsumeIntegral<uint8_t>();
    const QString text = choice < 7 * 32 ? quillet::PeerExtensions::build(QString::fromLatin1(names[choice / 32]), bodyText)
                                         : bodyText;
    checkParse(text);
    return 0;
}
